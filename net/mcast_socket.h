#pragma once
// The agent's one group socket, set up by the main loop at the start of every pass
// while no worker thread runs, and closed by it after all workers have ended: bound to
// MCAST_PORT on every interface with address reuse, a member of MCAST_GROUP, sending
// with MCAST_TTL; multicast loopback is left at the platform's default, which is on.
#include <netinet/in.h>

#include "net/group_socket.h"

// Written only while no worker runs; holds no socket between passes.
extern GroupSocket mcastSocket;
// The group's address and port that the senders send to; written only while no worker runs.
extern sockaddr_in groupAddr;

// Opens mcastSocket (closing any socket it held), joins the group, sets the
// time-to-live, the receive time-out, groupAddr and a receive buffer large enough for
// big groups (see GroupSocket::enlargeReceiveBuffer). 0 on success. On failure
// mcastSocket holds no socket.
int setupNetwork();

// A bound UDP socket with address reuse; on failure (with a message on standard error)
// one that holds no socket.
GroupSocket openMulticastSocket();

// Add or drop mcastSocket's membership of the group: 0, or -1 when the option call
// failed or the group address is unusable. A failed join is reported on standard error.
int joinGroup();
int leaveGroup();

// The group's address and port; all zero when the group name cannot be looked up.
sockaddr_in resolveGroupAddress();
