#include "tools/mcap/mcap_writer.h"

#include <zlib.h>
#include <zstd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr char MAGIC[] = "\x89MCAP0\r\n";
constexpr size_t MAGIC_SIZE = 8;
// Chunks of about a megabyte: a reader seeks to any time and decompresses little.
constexpr size_t CHUNK_SIZE = 1 << 20;
constexpr int ZSTD_LEVEL = 3;
constexpr const char* LIBRARY = "mcagent agentctl";

enum Op : uint8_t {
  HEADER = 0x01, FOOTER = 0x02, SCHEMA = 0x03, CHANNEL = 0x04, MESSAGE = 0x05, CHUNK = 0x06,
  MESSAGE_INDEX = 0x07, CHUNK_INDEX = 0x08, STATISTICS = 0x0B, SUMMARY_OFFSET = 0x0E, DATA_END = 0x0F
};

// Little-endian fields, as every MCAP record writes them.
void put16(std::string& out, uint16_t v) {
  for (int i = 0; i < 2; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void put32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void put64(std::string& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void putString(std::string& out, std::string_view text) {
  put32(out, static_cast<uint32_t>(text.size()));
  out.append(text);
}
// Maps and arrays are prefixed by their length in bytes.
void putSized32(std::string& out, const std::string& body) {
  put32(out, static_cast<uint32_t>(body.size()));
  out += body;
}

std::string record(Op op, const std::string& content) {
  std::string out(1, static_cast<char>(op));
  put64(out, content.size());
  return out + content;
}

unsigned long crcOf(unsigned long crc, std::string_view bytes) {
  return crc32(crc, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size()));
}

}  // namespace

McapWriter::~McapWriter() {
  std::string ignored;
  close(ignored);
}

void McapWriter::emit(std::string_view bytes) {
  if (myFile == nullptr) return;
  if (std::fwrite(bytes.data(), 1, bytes.size(), myFile) != bytes.size()) myFailed = true;
  myOffset += bytes.size();
  myDataCrc = crcOf(myDataCrc, bytes);
}

bool McapWriter::open(const std::string& path, std::string_view profile, Compression compression, std::string& error) {
  myFile = std::fopen(path.c_str(), "wb");
  if (myFile == nullptr) {
    error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  myCompression = compression;
  myDataCrc = crc32(0, nullptr, 0);
  emit(std::string_view(MAGIC, MAGIC_SIZE));
  std::string header;
  putString(header, profile);
  putString(header, LIBRARY);
  emit(record(HEADER, header));
  return true;
}

uint16_t McapWriter::addSchema(std::string_view name, std::string_view encoding, std::string_view data) {
  const uint16_t id = ++mySchemaCount;
  std::string content;
  put16(content, id);
  putString(content, name);
  putString(content, encoding);
  putString(content, data);
  const std::string r = record(SCHEMA, content);
  mySchemas += r;
  myChunk += r;  // before any message of it, in the chunk that readers read first
  return id;
}

uint16_t McapWriter::addChannel(uint16_t schemaId, std::string_view topic, std::string_view messageEncoding,
                                const std::map<std::string, std::string>& metadata) {
  const uint16_t id = ++myChannelCount;
  std::string content;
  put16(content, id);
  put16(content, schemaId);
  putString(content, topic);
  putString(content, messageEncoding);
  std::string entries;
  for (const auto& [key, value] : metadata) {
    putString(entries, key);
    putString(entries, value);
  }
  putSized32(content, entries);
  const std::string r = record(CHANNEL, content);
  myChannels += r;
  myChunk += r;
  return id;
}

void McapWriter::write(uint16_t channelId, uint64_t logTimeNs, std::string_view data) {
  if (myFile == nullptr) return;
  if (myChunkIndex.empty() || logTimeNs < myChunkStart) myChunkStart = logTimeNs;
  if (myChunkIndex.empty() || logTimeNs > myChunkEnd) myChunkEnd = logTimeNs;
  myChunkIndex[channelId].emplace_back(logTimeNs, myChunk.size());
  std::string content;
  put16(content, channelId);
  put32(content, mySequences[channelId]++);
  put64(content, logTimeNs);
  put64(content, logTimeNs);  // published when heard: the group carries no send times
  content.append(data);
  myChunk += record(MESSAGE, content);
  if (myMessageCount == 0 || logTimeNs < myFirstTime) myFirstTime = logTimeNs;
  if (myMessageCount == 0 || logTimeNs > myLastTime) myLastTime = logTimeNs;
  ++myMessageCount;
  ++myChannelCounts[channelId];
  if (myChunk.size() >= CHUNK_SIZE) writeChunk();
}

void McapWriter::writeChunk() {
  if (myChunk.empty()) return;
  std::string records = myChunk;
  std::string compression;
  if (myCompression == Compression::Zstd) {
    std::string packed(ZSTD_compressBound(myChunk.size()), '\0');
    const size_t size = ZSTD_compress(packed.data(), packed.size(), myChunk.data(), myChunk.size(), ZSTD_LEVEL);
    if (ZSTD_isError(size) == 0) {
      packed.resize(size);
      records = std::move(packed);
      compression = "zstd";
    }
  }
  ChunkIndex index;
  index.start = myChunkIndex.empty() ? 0 : myChunkStart;
  index.end = myChunkIndex.empty() ? 0 : myChunkEnd;
  index.offset = myOffset;
  index.compressedSize = records.size();
  index.uncompressedSize = myChunk.size();
  index.compression = compression;
  std::string content;
  put64(content, index.start);
  put64(content, index.end);
  put64(content, myChunk.size());
  put32(content, static_cast<uint32_t>(crcOf(crc32(0, nullptr, 0), myChunk)));
  putString(content, compression);
  put64(content, records.size());
  content += records;
  const std::string chunk = record(CHUNK, content);
  emit(chunk);
  index.length = chunk.size();
  const uint64_t indexesStart = myOffset;
  for (const auto& [channel, entries] : myChunkIndex) {
    std::string body;
    put16(body, channel);
    std::string tuples;
    for (const auto& [time, offset] : entries) {
      put64(tuples, time);
      put64(tuples, offset);
    }
    putSized32(body, tuples);
    index.indexOffsets.emplace_back(channel, myOffset);
    emit(record(MESSAGE_INDEX, body));
  }
  index.indexLength = myOffset - indexesStart;
  myChunkIndexes.push_back(std::move(index));
  myChunk.clear();
  myChunkIndex.clear();
}

bool McapWriter::close(std::string& error) {
  if (myFile == nullptr) return true;
  writeChunk();
  std::string dataEnd;
  put32(dataEnd, static_cast<uint32_t>(myDataCrc));
  emit(record(DATA_END, dataEnd));

  // The summary, grouped by opcode, each group found by a summary offset record.
  const uint64_t summaryStart = myOffset;
  unsigned long summaryCrc = crc32(0, nullptr, 0);
  std::string offsets;
  auto group = [&](Op op, const std::string& records) {
    if (records.empty()) return;
    std::string o;
    o.push_back(static_cast<char>(op));
    put64(o, myOffset);
    put64(o, records.size());
    offsets += record(SUMMARY_OFFSET, o);
    emit(records);
    summaryCrc = crcOf(summaryCrc, records);
  };
  group(SCHEMA, mySchemas);
  group(CHANNEL, myChannels);
  std::string stats;
  put64(stats, myMessageCount);
  put16(stats, mySchemaCount);
  put32(stats, myChannelCount);
  put32(stats, 0);  // attachments
  put32(stats, 0);  // metadata
  put32(stats, static_cast<uint32_t>(myChunkIndexes.size()));
  put64(stats, myFirstTime);
  put64(stats, myLastTime);
  std::string counts;
  for (const auto& [channel, count] : myChannelCounts) {
    put16(counts, channel);
    put64(counts, count);
  }
  putSized32(stats, counts);
  group(STATISTICS, record(STATISTICS, stats));
  std::string chunkIndexes;
  for (const ChunkIndex& c : myChunkIndexes) {
    std::string body;
    put64(body, c.start);
    put64(body, c.end);
    put64(body, c.offset);
    put64(body, c.length);
    std::string map;
    for (const auto& [channel, offset] : c.indexOffsets) {
      put16(map, channel);
      put64(map, offset);
    }
    putSized32(body, map);
    put64(body, c.indexLength);
    putString(body, c.compression);
    put64(body, c.compressedSize);
    put64(body, c.uncompressedSize);
    chunkIndexes += record(CHUNK_INDEX, body);
  }
  group(CHUNK_INDEX, chunkIndexes);
  const uint64_t summaryOffsetStart = myOffset;
  emit(offsets);
  summaryCrc = crcOf(summaryCrc, offsets);

  std::string footer(1, static_cast<char>(FOOTER));
  put64(footer, 8 + 8 + 4);
  put64(footer, summaryStart);
  put64(footer, summaryOffsetStart);
  summaryCrc = crcOf(summaryCrc, footer);
  put32(footer, static_cast<uint32_t>(summaryCrc));
  emit(footer);
  emit(std::string_view(MAGIC, MAGIC_SIZE));

  const bool flushed = std::fflush(myFile) == 0 && !myFailed;
  const int savedErrno = errno;
  const bool closed = std::fclose(myFile) == 0;
  myFile = nullptr;
  if (!flushed || !closed) {
    error = std::string("writing the MCAP file failed: ") + std::strerror(flushed ? errno : savedErrno);
    return false;
  }
  return true;
}
