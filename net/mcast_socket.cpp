#include "net/mcast_socket.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

GroupSocket mcastSocket;
sockaddr_in groupAddr{};

namespace {

void reportLine(const char* text) { std::fprintf(stderr, "%s\n", text); }

// The group's IPv4 address (network byte order) from a host-name lookup of MCAST_GROUP.
bool lookUpGroup(in_addr& address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(MCAST_GROUP, nullptr, &hints, &found) != 0 || found == nullptr) {
    std::fprintf(stderr, "invalid host: %s\n", MCAST_GROUP);
    return false;
  }
  address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return true;
}

bool lookUpUdpProtocol(int& protocol) {
  protoent entry{};
  protoent* result = nullptr;
  char scratch[1024];
  if (getprotobyname_r("udp", &entry, scratch, sizeof scratch, &result) != 0 || result == nullptr) return false;
  protocol = result->p_proto;
  return true;
}

// The looked-up group address, if it is a multicast one (224.0.0.0/4).
bool lookUpMulticastGroup(in_addr& group) {
  if (!lookUpGroup(group)) return false;
  if (!IN_MULTICAST(ntohl(group.s_addr))) {
    std::fprintf(stderr, "invalid multicast address: %s\n", MCAST_GROUP);
    return false;
  }
  return true;
}

}  // namespace

int setupNetwork() {
  mcastSocket = openMulticastSocket();
  if (!mcastSocket.isOpen()) return 1;
  if (joinGroup() != 0) {
    mcastSocket.close();
    return 1;
  }
  mcastSocket.setTimeToLive(MCAST_TTL);
  groupAddr = resolveGroupAddress();
  mcastSocket.setReceiveTimeout(RECV_TIMEOUT_MS);
  mcastSocket.enlargeReceiveBuffer();
  return 0;
}

// A socket whose set-up fails part way is closed by its destructor on the way out.
GroupSocket openMulticastSocket() {
  int protocol = 0;
  if (!lookUpUdpProtocol(protocol)) {
    reportLine("cannot map \"udp\" to protocol number");
    return {};
  }
  GroupSocket socket;
  if (!socket.create(protocol)) {
    reportLine("socket creation failed");
    return {};
  }
  if (!socket.reuseAddress()) {
    reportLine("reuse address option failed");
    return {};
  }
  if (!socket.bindGroupPort()) {
    reportLine("bind failed");
    return {};
  }
  return socket;
}

int joinGroup() {
  in_addr group{};
  if (!lookUpMulticastGroup(group)) return -1;
  if (mcastSocket.join(group)) return 0;
  std::fprintf(stderr, "cannot join multicast group %s: %s\n", MCAST_GROUP, std::strerror(errno));
  return -1;
}

int leaveGroup() {
  in_addr group{};
  if (!lookUpMulticastGroup(group)) return -1;
  return mcastSocket.leave(group) ? 0 : -1;
}

sockaddr_in resolveGroupAddress() {
  sockaddr_in address{};
  in_addr group{};
  if (!lookUpGroup(group)) return address;
  address.sin_family = AF_INET;
  address.sin_addr = group;
  address.sin_port = htons(MCAST_PORT);
  return address;
}
