#pragma once
// Recordings of the group's traffic as pcap files (libpcap), so that tcpdump and
// Wireshark open them: one record per datagram, an IPv4 packet with its UDP header,
// stamped with the time the datagram arrived. The IPv4 header is rebuilt on writing: the
// sender's address and port, the group's address and port, the time-to-live agents send
// with (MCAST_TTL), valid checksums. Reading takes these recordings and captures made
// with tcpdump or Wireshark (raw IP, Ethernet, or the Linux "any" device).
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <utility>
#include <vector>

struct pcap;
struct pcap_dumper;

class RecordingWriter {
 public:
  RecordingWriter() = default;
  ~RecordingWriter();
  RecordingWriter(const RecordingWriter&) = delete;
  RecordingWriter& operator=(const RecordingWriter&) = delete;

  // Creates (or replaces) the file. False with a one-line reason.
  bool open(const std::string& path, std::string& error);
  // One datagram of length bytes (at most 65507) that arrived from `from` at `arrival`.
  void write(const char* payload, size_t length, const sockaddr_in& from, timespec arrival);
  // Hands what was written so far to the file.
  void flush();
  // Flushes and closes the file; false with the reason when any of it could not be written.
  bool close(std::string& error);
  long written() const { return myWritten; }

 private:
  pcap* myPcap = nullptr;
  pcap_dumper* myDumper = nullptr;
  std::vector<unsigned char> myPacket;
  long myWritten = 0;
};

// A datagram read back: its payload (valid until the next read), sender and arrival time.
struct RecordedDatagram {
  const char* payload = nullptr;
  size_t length = 0;
  int64_t arrivalUs = 0;  // microseconds since the epoch
  sockaddr_in source{};
};

class RecordingReader {
 public:
  RecordingReader() = default;
  ~RecordingReader();
  RecordingReader(const RecordingReader&) = delete;
  RecordingReader& operator=(const RecordingReader&) = delete;

  // False with a one-line reason when the file cannot be read as a capture of a kind
  // this reader knows.
  bool open(const std::string& path, std::string& error);
  // The next whole UDP datagram to port MCAST_PORT: 1 with it in datagram, 0 at the end
  // of the file, -1 with the reason in error when the file is damaged. Other packets
  // (other protocols and ports, fragments, packets cut short by the capture) are
  // skipped and counted. A file that ends inside its last record (a recorder killed, a
  // full disk) ends before that record; cutTail() says so.
  int next(RecordedDatagram& datagram, std::string& error);
  long skipped() const { return mySkipped; }
  // After the end: empty when the file ended after a whole record, else a sentence that
  // says where the cut record began.
  const std::string& cutTail() const { return myCutTail; }

 private:
  pcap* myPcap = nullptr;
  int myLinkType = 0;
  long mySkipped = 0;
  long myRecords = 0;  // whole records read
  std::string myCutTail;
};

// Each agent's poses (x, y in mm) from the P messages of a recording, in the order
// recorded, by name. False with the reason when the file is damaged; a cut last record
// ends the poses (the reader's cutTail says where).
using RecordedPoses = std::map<std::string, std::vector<std::pair<double, double>>, std::less<>>;
bool readRecordedPoses(RecordingReader& reader, RecordedPoses& poses, std::string& error);
