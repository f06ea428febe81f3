#pragma once
// The agent's one UDP socket: bound to MCAST_PORT on every interface with address reuse
// (several agents may share a computer), a member of the group MCAST_GROUP, sending with
// MCAST_TTL and multicast loopback on, so every agent, the sender included, receives
// every message. Set up by the main loop while no worker thread runs.
#include <netinet/in.h>

constexpr const char* MCAST_GROUP = "239.0.0.77";
constexpr int MCAST_PORT = 60001;
constexpr int MCAST_TTL = 16;
constexpr int RECV_TIMEOUT_MS = 100;

// Opens the socket into mcastSocket, joins the group, sets the time-to-live, the
// receive time-out and groupAddr. 0 on success. On failure mcastSocket is 0 and no
// socket is left open.
int setupNetwork();

// A bound UDP socket with address reuse, or -1 (with a message on standard error).
int openMulticastSocket();

// Add or drop mcastSocket's membership of the group: the option call's result, or -1
// when the group address is unusable. A failed join is reported on standard error.
int joinGroup();
int leaveGroup();

// The group's address and port; all zero when the group name cannot be looked up.
sockaddr_in resolveGroupAddress();
