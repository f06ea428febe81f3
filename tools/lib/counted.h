#pragma once
// A count with its noun for the tools' output: "1 datagram", "2 datagrams".
#include <string>
#include <string_view>

inline std::string counted(long n, std::string_view noun) {
  return std::to_string(n) + " " + std::string(noun) + (n == 1 ? "" : "s");
}
