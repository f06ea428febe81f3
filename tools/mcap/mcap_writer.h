#pragma once
// A writer of MCAP files (version 0), the recording format of Foxglove, Lichtblick and
// rosbag2: magic, header, then the data section as chunks of schema, channel and message
// records (zstd-compressed or plain), each followed by its message indexes; a data end
// record with the data section's CRC; a summary of every schema and channel, the
// statistics and the chunk indexes, found through summary offsets; the footer with the
// summary's CRC, and the magic again.
#include <cstdint>
#include <cstdio>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class McapWriter {
 public:
  enum class Compression { None, Zstd };

  McapWriter() = default;
  ~McapWriter();
  McapWriter(const McapWriter&) = delete;
  McapWriter& operator=(const McapWriter&) = delete;

  // Creates (or replaces) the file and writes its header. False with a one-line reason.
  bool open(const std::string& path, std::string_view profile, Compression compression, std::string& error);
  // Ids count from 1, in the order added.
  uint16_t addSchema(std::string_view name, std::string_view encoding, std::string_view data);
  uint16_t addChannel(uint16_t schemaId, std::string_view topic, std::string_view messageEncoding,
                      const std::map<std::string, std::string>& metadata);
  void write(uint16_t channelId, uint64_t logTimeNs, std::string_view data);
  // Writes the last chunk, the summary and the footer; false with the reason when any
  // of the file could not be written.
  bool close(std::string& error);

  uint64_t messages() const { return myMessageCount; }

 private:
  struct ChunkIndex {
    uint64_t start = 0, end = 0, offset = 0, length = 0, indexLength = 0, compressedSize = 0, uncompressedSize = 0;
    std::vector<std::pair<uint16_t, uint64_t>> indexOffsets;
    std::string compression;
  };
  void writeChunk();
  void emit(std::string_view bytes);  // to the file, counting offset and data CRC

  std::FILE* myFile = nullptr;
  bool myFailed = false;
  Compression myCompression = Compression::Zstd;
  uint64_t myOffset = 0;
  unsigned long myDataCrc = 0;
  std::string mySchemas, myChannels;  // their records, for the summary
  uint16_t mySchemaCount = 0, myChannelCount = 0;
  // The open chunk.
  std::string myChunk;
  uint64_t myChunkStart = 0, myChunkEnd = 0;
  std::map<uint16_t, std::vector<std::pair<uint64_t, uint64_t>>> myChunkIndex;  // channel: (time, offset)
  // Totals.
  std::vector<ChunkIndex> myChunkIndexes;
  std::map<uint16_t, uint64_t> myChannelCounts;
  std::map<uint16_t, uint32_t> mySequences;
  uint64_t myMessageCount = 0, myFirstTime = 0, myLastTime = 0;
};
