#pragma once
// A UDP socket on the agents' group for agentctl: one that sends to 239.0.0.77:60001
// with time-to-live 16, or one that, like an agent, binds port 60001 with address reuse
// and joins the group to listen. Closed when the object goes.
#include <netinet/in.h>

#include <cstddef>
#include <string>

class GroupSocket {
 public:
  GroupSocket() = default;
  ~GroupSocket();
  GroupSocket(const GroupSocket&) = delete;
  GroupSocket& operator=(const GroupSocket&) = delete;

  // False with a one-line reason in error.
  bool openForSending(std::string& error);
  bool openForListening(std::string& error);

  // One datagram of length bytes to the group; false if the send failed.
  bool send(const char* bytes, size_t length);
  // The next datagram into buffer: its length, 0 when none came within 100 ms, -1 on
  // failure.
  long receive(char* buffer, size_t size);

 private:
  bool open(std::string& error);
  int myFd = -1;
  sockaddr_in myGroup{};
};
