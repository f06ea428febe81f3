#include "net/mcast_socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "runtime/shared_state.h"

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

int requestMembership(int option, in_addr group) {
  ip_mreq request{};
  request.imr_multiaddr = group;
  request.imr_interface.s_addr = htonl(INADDR_ANY);
  return setsockopt(mcastSocket, IPPROTO_IP, option, &request, sizeof request);
}

void setTimeToLive() {
  int ttl = MCAST_TTL;
  setsockopt(mcastSocket, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
}

// As a timeval, the form this platform reads, so the time-out really is 100 ms.
void setReceiveTimeout() {
  timeval timeout{};
  timeout.tv_sec = RECV_TIMEOUT_MS / 1000;
  timeout.tv_usec = (RECV_TIMEOUT_MS % 1000) * 1000;
  setsockopt(mcastSocket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

void closeSocket() {
  close(mcastSocket);
  mcastSocket = 0;
}

}  // namespace

int setupNetwork() {
  int fd = openMulticastSocket();
  if (fd < 0) {
    mcastSocket = 0;
    return 1;
  }
  mcastSocket = fd;
  if (joinGroup() != 0) {
    closeSocket();
    return 1;
  }
  setTimeToLive();
  groupAddr = resolveGroupAddress();
  setReceiveTimeout();
  return 0;
}

int openMulticastSocket() {
  int protocol = 0;
  if (!lookUpUdpProtocol(protocol)) {
    reportLine("cannot map \"udp\" to protocol number");
    return -1;
  }
  int fd = socket(AF_INET, SOCK_DGRAM, protocol);
  if (fd < 0) {
    reportLine("socket creation failed");
    return -1;
  }
  int reuse = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0) {
    reportLine("reuse address option failed");
    close(fd);
    return -1;
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(MCAST_PORT);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    reportLine("bind failed");
    close(fd);
    return -1;
  }
  return fd;
}

int joinGroup() {
  in_addr group{};
  if (!lookUpMulticastGroup(group)) return -1;
  int result = requestMembership(IP_ADD_MEMBERSHIP, group);
  if (result != 0) std::fprintf(stderr, "cannot join multicast group %s: %s\n", MCAST_GROUP, std::strerror(errno));
  return result;
}

int leaveGroup() {
  in_addr group{};
  if (!lookUpMulticastGroup(group)) return -1;
  return requestMembership(IP_DROP_MEMBERSHIP, group);
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
