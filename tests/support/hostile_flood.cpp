// Sends a mix of malformed, hostile and valid datagrams to the agents' group for a
// while, as anyone on the group could. Used by the end-to-end fault scenarios, inside
// their private network namespace only.
//   e2e_flood SECONDS TARGET_NAME [--fresh-names | --fresh-rate N]
// Valid traffic: a peer "floodpeer" reports a pose at (50000, 0) and readings around it,
// so a test can check that valid messages still take effect. With --fresh-names every
// other datagram is a valid P under a name never used before, 1300 bytes long, as a
// host trying to fill the agents' peer tables would send. With --fresh-rate N the flood
// is nothing but short fresh-name P messages, N a second, while floodpeer behaves as an
// agent does: every 500 ms a reading, then its P. Reading k lies at (50000 + 100 k,
// 2000), one map cell each, so the readings a receiver kept can be counted in its map.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>

#include "net/group_socket.h"

namespace {

std::string hostile(std::mt19937& rng, const std::string& target) {
  static const char* const fixed[] = {
      "E %s 1e308 1e308 0 0 0", "E %s nan nan 0 0 0",      "P %s inf 0 0",          "O %s -inf 5",
      "E %s 300000 0 0 0 0",    "P %s 0 -200001 0",        "M %s 65536",            "M %s -1",
      "M %s 1x",                "M other 99",              "G other 1 2 3",         "J all 1 2 3 4 5 6",
      "W %s 1 2",               "P %s",                    " P %s 1 2 3",           "p %s 1 2 3",
      "E %s 1 2 3 4",           "G %s nan 0 0",            "D %s 1 2 3",            "Z %s 1 2 3",
  };
  std::uniform_int_distribution<int> pick(0, 3);
  switch (pick(rng)) {
    case 0: {  // random bytes, sometimes longer than any message
      std::uniform_int_distribution<int> len(0, 2000), byte(0, 255);
      std::string s(static_cast<size_t>(len(rng)), '\0');
      for (char& c : s) c = static_cast<char>(byte(rng));
      return s;
    }
    case 1: {  // a name filling the whole buffer
      return "P " + std::string(1396, 'x') + " 1 2 3";
    }
    default: {
      std::uniform_int_distribution<size_t> which(0, sizeof fixed / sizeof fixed[0] - 1);
      char buf[256];
      std::snprintf(buf, sizeof buf, fixed[which(rng)], target.c_str());
      return std::string(buf) + '\0';
    }
  }
}

std::string freshName(long serial) {
  std::string name = "fresh" + std::to_string(serial) + "-";
  name.resize(1300, 'n');
  return "P " + name + " 1000.000 1000.000 0.000" + '\0';
}

}  // namespace

// N fresh-name P messages a second in bursts every 10 ms, and floodpeer's reading and P
// every 500 ms.
long freshRateFlood(const GroupSocket& socket, int seconds, long rate) {
  const sockaddr_in group = groupSocketAddress();
  char text[128];
  auto send = [&](int length) { socket.sendTo(group, text, static_cast<size_t>(length) + 1); };
  long sent = 0, readings = 0;
  const auto start = std::chrono::steady_clock::now();
  for (long tick = 0; tick < seconds * 100L; ++tick) {
    for (long i = rate * tick / 100; i < rate * (tick + 1) / 100; ++i, ++sent) {
      send(std::snprintf(text, sizeof text, "P f%ld 1000.000 1000.000 0.000", i));
    }
    if (tick % 50 == 0) {
      const double x = 50000.0 + 100.0 * static_cast<double>(readings++);
      send(std::snprintf(text, sizeof text, "E floodpeer %.3f 2000.000 %.3f 1500.000 90.000", x, x));
      send(std::snprintf(text, sizeof text, "P floodpeer %.3f 1500.000 90.000", x));
      sent += 2;
    }
    std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * (tick + 1)));
  }
  std::printf("sent %ld datagrams, floodpeer readings %ld\n", sent, readings);
  return sent;
}

int main(int argc, char** argv) {
  const bool freshNames = argc == 4 && std::string(argv[3]) == "--fresh-names";
  const bool freshRate = argc == 5 && std::string(argv[3]) == "--fresh-rate";
  if (argc != 3 && !freshNames && !freshRate) {
    std::fprintf(stderr, "usage: e2e_flood SECONDS TARGET_NAME [--fresh-names | --fresh-rate N]\n");
    return 2;
  }
  const int seconds = std::atoi(argv[1]);
  const std::string target = argv[2];
  GroupSocket socket;
  std::string error;
  if (!socket.openForSending(error)) {
    std::fprintf(stderr, "e2e_flood: %s\n", error.c_str());
    return 1;
  }
  if (freshRate) {
    freshRateFlood(socket, seconds, std::atol(argv[4]));
    return 0;
  }
  const sockaddr_in group = groupSocketAddress();
  auto send = [&](const std::string& s) { socket.sendTo(group, s.data(), s.size()); };

  std::mt19937 rng(12345);
  long sent = 0;
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (int cycle = 0; std::chrono::steady_clock::now() < end; ++cycle) {
    for (int i = 0; i < 20; ++i, ++sent) send(freshNames && i % 2 == 0 ? freshName(sent) : hostile(rng, target));
    if (cycle % 10 == 0) {
      send(std::string("P floodpeer 50000.000 0.000 0.000") + '\0');
      send(std::string("E floodpeer 51000.000 0.000 50000.000 0.000 0.000") + '\0');
      sent += 2;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::printf("sent %ld datagrams\n", sent);
  return 0;
}
