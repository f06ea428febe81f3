#include "tools/lib/group_recording.h"

#include <arpa/inet.h>
#include <pcap/pcap.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "net/group_socket.h"
#include "net/messages.h"
#include "tools/lib/counted.h"

namespace {

constexpr size_t IP_HEADER = 20;
constexpr size_t UDP_HEADER = 8;
constexpr size_t MAX_PAYLOAD = 65535 - IP_HEADER - UDP_HEADER;
constexpr int SNAPSHOT_LENGTH = 65535;
constexpr uint8_t UDP_PROTOCOL = 17;

void put16(unsigned char* at, uint16_t value) {
  at[0] = static_cast<unsigned char>(value >> 8);
  at[1] = static_cast<unsigned char>(value & 0xFF);
}

uint16_t get16(const unsigned char* at) { return static_cast<uint16_t>(at[0] << 8 | at[1]); }

// The Internet checksum's running sum of 16-bit big-endian words (an odd last byte is
// padded with zero).
uint32_t addWords(uint32_t sum, const unsigned char* bytes, size_t length) {
  for (size_t i = 0; i + 1 < length; i += 2) sum += get16(bytes + i);
  if (length % 2 == 1) sum += static_cast<uint32_t>(bytes[length - 1]) << 8;
  return sum;
}

uint16_t foldChecksum(uint32_t sum) {
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum & 0xFFFF);
}

// The IPv4 and UDP headers of a datagram from `from` to the group, then the payload.
void buildPacket(std::vector<unsigned char>& packet, const char* payload, size_t length, const sockaddr_in& from) {
  const sockaddr_in to = groupSocketAddress();
  packet.assign(IP_HEADER + UDP_HEADER + length, 0);
  unsigned char* ip = packet.data();
  ip[0] = 0x45;  // version 4, five words of header
  put16(ip + 2, static_cast<uint16_t>(packet.size()));
  ip[8] = static_cast<unsigned char>(MCAST_TTL);
  ip[9] = UDP_PROTOCOL;
  std::memcpy(ip + 12, &from.sin_addr, 4);  // both already in network byte order
  std::memcpy(ip + 16, &to.sin_addr, 4);
  put16(ip + 10, foldChecksum(addWords(0, ip, IP_HEADER)));

  unsigned char* udp = ip + IP_HEADER;
  std::memcpy(udp, &from.sin_port, 2);
  std::memcpy(udp + 2, &to.sin_port, 2);
  put16(udp + 4, static_cast<uint16_t>(UDP_HEADER + length));
  std::memcpy(udp + UDP_HEADER, payload, length);
  // The checksum covers a pseudo-header (addresses, protocol, UDP length) and the datagram.
  uint32_t sum = addWords(0, ip + 12, 8);
  sum += UDP_PROTOCOL + static_cast<uint32_t>(UDP_HEADER + length);
  const uint16_t checksum = foldChecksum(addWords(sum, udp, UDP_HEADER + length));
  put16(udp + 6, checksum == 0 ? 0xFFFF : checksum);  // 0 would mean "no checksum"
}

// Where the IPv4 header starts in a captured frame of this link type; -1 when the frame
// carries no IPv4 packet.
long ipOffset(int linkType, const unsigned char* frame, size_t length) {
  switch (linkType) {
    case DLT_RAW:
    case DLT_IPV4:
      return 0;
    case DLT_EN10MB: {
      if (length < 14) return -1;
      size_t at = 12;
      if (get16(frame + at) == 0x8100 && length >= 18) at += 4;  // one VLAN tag
      return get16(frame + at) == 0x0800 ? static_cast<long>(at + 2) : -1;
    }
    case DLT_LINUX_SLL:
      return length >= 16 && get16(frame + 14) == 0x0800 ? 16 : -1;
    case DLT_LINUX_SLL2:
      return length >= 20 && get16(frame) == 0x0800 ? 20 : -1;
    default:
      return -1;
  }
}

bool knownLinkType(int linkType) {
  return linkType == DLT_RAW || linkType == DLT_IPV4 || linkType == DLT_EN10MB || linkType == DLT_LINUX_SLL ||
         linkType == DLT_LINUX_SLL2;
}

// The UDP payload of a whole, unfragmented IPv4/UDP packet to MCAST_PORT; false otherwise.
bool groupPayload(const unsigned char* ip, size_t available, RecordedDatagram& datagram) {
  if (available < IP_HEADER || (ip[0] >> 4) != 4) return false;
  const size_t headerLength = static_cast<size_t>(ip[0] & 0x0F) * 4;
  const size_t totalLength = get16(ip + 2);
  if (headerLength < IP_HEADER || totalLength < headerLength + UDP_HEADER || totalLength > available) return false;
  if (ip[9] != UDP_PROTOCOL || (get16(ip + 6) & 0x3FFF) != 0) return false;  // not UDP, or a fragment
  const unsigned char* udp = ip + headerLength;
  const size_t udpLength = get16(udp + 4);
  if (get16(udp + 2) != MCAST_PORT || udpLength < UDP_HEADER || udpLength > totalLength - headerLength) return false;
  datagram.payload = reinterpret_cast<const char*>(udp + UDP_HEADER);
  datagram.length = udpLength - UDP_HEADER;
  datagram.source = sockaddr_in{};
  datagram.source.sin_family = AF_INET;
  std::memcpy(&datagram.source.sin_addr, ip + 12, 4);  // both in network byte order, as sockaddr_in keeps them
  std::memcpy(&datagram.source.sin_port, udp, 2);
  return true;
}

}  // namespace

RecordingWriter::~RecordingWriter() {
  std::string ignored;
  close(ignored);
}

bool RecordingWriter::open(const std::string& path, std::string& error) {
  std::string ignored;
  close(ignored);
  myPcap = pcap_open_dead(DLT_RAW, SNAPSHOT_LENGTH);
  if (myPcap == nullptr) {
    error = "cannot start a pcap file";
    return false;
  }
  myDumper = pcap_dump_open(myPcap, path.c_str());
  if (myDumper == nullptr) {
    error = "cannot create " + path + ": " + pcap_geterr(myPcap);
    pcap_close(myPcap);
    myPcap = nullptr;
    return false;
  }
  myWritten = 0;
  return true;
}

void RecordingWriter::write(const char* payload, size_t length, const sockaddr_in& from, timespec arrival) {
  if (myDumper == nullptr || length > MAX_PAYLOAD) return;
  buildPacket(myPacket, payload, length, from);
  pcap_pkthdr header{};
  header.ts.tv_sec = arrival.tv_sec;
  header.ts.tv_usec = static_cast<suseconds_t>(arrival.tv_nsec / 1000);
  header.caplen = header.len = static_cast<bpf_u_int32>(myPacket.size());
  pcap_dump(reinterpret_cast<u_char*>(myDumper), &header, myPacket.data());
  ++myWritten;
}

void RecordingWriter::flush() {
  if (myDumper != nullptr) pcap_dump_flush(myDumper);
}

bool RecordingWriter::close(std::string& error) {
  if (myDumper == nullptr) return true;
  const bool flushed = pcap_dump_flush(myDumper) == 0 && std::ferror(pcap_dump_file(myDumper)) == 0;
  if (!flushed) error = std::string("writing the recording failed: ") + std::strerror(errno);
  pcap_dump_close(myDumper);
  pcap_close(myPcap);
  myDumper = nullptr;
  myPcap = nullptr;
  return flushed;
}

RecordingReader::~RecordingReader() {
  if (myPcap != nullptr) pcap_close(myPcap);
}

bool RecordingReader::open(const std::string& path, std::string& error) {
  char reason[PCAP_ERRBUF_SIZE] = "";
  myPcap = pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_MICRO, reason);
  if (myPcap == nullptr) {
    error = path + ": " + reason;
    return false;
  }
  myLinkType = pcap_datalink(myPcap);
  if (knownLinkType(myLinkType)) return true;
  const char* name = pcap_datalink_val_to_name(myLinkType);
  error = path + ": captures of link type " + (name != nullptr ? name : std::to_string(myLinkType)) +
          " are not read (raw IP, Ethernet and Linux cooked captures are)";
  pcap_close(myPcap);
  myPcap = nullptr;
  return false;
}

int RecordingReader::next(RecordedDatagram& datagram, std::string& error) {
  for (;;) {
    pcap_pkthdr* header = nullptr;
    const u_char* frame = nullptr;
    const long startsAt = std::ftell(pcap_file(myPcap));  // -1 when reading a pipe
    const int status = pcap_next_ex(myPcap, &header, &frame);
    if (status == PCAP_ERROR_BREAK) return 0;
    if (status != 1) {
      error = pcap_geterr(myPcap);
      // libpcap's word for a file that ends inside a record: every record before it is whole.
      if (error.find("truncated") == std::string::npos) return -1;
      myCutTail = "the file ends inside record " + std::to_string(myRecords + 1) +
                  (startsAt >= 0 ? " (at byte " + std::to_string(startsAt) + ")" : "") + ": read the " +
                  counted(myRecords, "whole record") + " before it";
      return 0;
    }
    ++myRecords;
    const long at = ipOffset(myLinkType, frame, header->caplen);
    if (at >= 0 && groupPayload(frame + at, header->caplen - static_cast<size_t>(at), datagram)) {
      datagram.arrivalUs = static_cast<int64_t>(header->ts.tv_sec) * 1'000'000 + header->ts.tv_usec;
      return 1;
    }
    ++mySkipped;
  }
}

bool readRecordedPoses(RecordingReader& reader, RecordedPoses& poses, std::string& error) {
  RecordedDatagram datagram;
  char buffer[MSG_BUFFER_SIZE];
  int status;
  while ((status = reader.next(datagram, error)) == 1) {
    const size_t kept = std::min(datagram.length, MSG_BUFFER_SIZE);
    std::memcpy(buffer, datagram.payload, kept);
    Message m;
    if (readDatagram(buffer, kept, m) && m.type == 'P') poses[std::string(m.name)].emplace_back(m.reals[0], m.reals[1]);
  }
  return status == 0;
}
