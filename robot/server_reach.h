#pragma once
// Why a robot server cannot be reached, in words an operator can act on: the robot
// library only says that the connection failed, so a failed attempt is followed by a
// plain TCP connection to the same address that finds the system's reason.
#include <string>

// The reason host:port does not take a TCP connection ("Connection refused", a name
// that does not resolve, no answer within timeoutMs), or an empty string when it takes
// one (which is closed at once: the server is there but did not complete the robot
// handshake).
std::string serverReachProblem(const std::string& host, int port, int timeoutMs);

// The line for an operator after a failed connection to host:port.
std::string connectionAdvice(const std::string& host, int port, const std::string& problem);
