// agentctl: commands to the mapping agents on their multicast group, a decoder of the
// group's traffic, and a load generator that plays simulated agents at the real rates.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "net/group_socket.h"
#include "net/messages.h"
#include "tools/lib/agent_commands.h"
#include "tools/lib/load_model.h"
#include "tools/lib/traffic_summary.h"

namespace {

constexpr int EXIT_NETWORK = 1;
constexpr int EXIT_USAGE = 2;
constexpr int64_t SUMMARY_PERIOD_MS = 5000;
constexpr int LOAD_SLICE_MS = 10;
constexpr int LOAD_SLICES = LOAD_CYCLE_MS / LOAD_SLICE_MS;

using Clock = std::chrono::steady_clock;

volatile sig_atomic_t interrupted = 0;

void onInterrupt(int) { interrupted = 1; }

void catchInterrupts() {
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

int64_t millisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

int networkFailure(const std::string& reason) {
  std::fprintf(stderr, "agentctl: %s\n", reason.c_str());
  return EXIT_NETWORK;
}

int sendCommand(const ToolCommand& command) {
  GroupSocket group;
  std::string error;
  if (!group.openForSending(error)) return networkFailure(error);
  char text[MSG_BUFFER_SIZE];
  const int length = formatMessage(command.message(), text, sizeof text);
  if (!group.sendTo(groupSocketAddress(), text, static_cast<size_t>(length) + 1)) {
    return networkFailure(std::string("sending to ") + MCAST_GROUP + ":" + std::to_string(MCAST_PORT) + " failed");
  }
  std::printf("sent: %s\n", text);
  return 0;
}

// One line per datagram, starting with the message's type letter.
void printDatagram(const char* buffer, long length, TrafficSummary& summary, bool quiet) {
  Message message;
  const bool readable = parseMessage(buffer, message);
  if (readable) summary.record(message);
  else summary.recordUnreadable();
  if (quiet) return;
  const std::string line =
      readable ? describeMessage(message) : describeUnreadable(buffer, static_cast<size_t>(length));
  std::printf("%s\n", line.c_str());
}

int watchGroup(const ToolCommand& command) {
  GroupSocket group;
  std::string error;
  if (!group.openForListening(error)) return networkFailure(error);
  catchInterrupts();
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // readable live, line by line, from a file too
  const Clock::time_point start = Clock::now();
  const int64_t endMs = command.watchSeconds * int64_t{1000};
  TrafficSummary summary(0);
  int64_t nextSummaryMs = SUMMARY_PERIOD_MS;
  char buffer[MSG_BUFFER_SIZE];
  while (interrupted == 0 && (endMs == 0 || millisecondsSince(start) < endMs)) {
    const long length = group.receive(buffer, sizeof buffer - 1);
    if (length < 0) return networkFailure("receiving from the group failed");
    const int64_t nowMs = millisecondsSince(start);
    if (length > 0) {
      buffer[length] = '\0';
      printDatagram(buffer, length, summary, command.quiet);
    }
    if (nowMs >= nextSummaryMs) {
      std::printf("%s", summary.report(nowMs).c_str());
      std::fflush(stdout);
      nextSummaryMs = nowMs + SUMMARY_PERIOD_MS;
    }
  }
  std::printf("%s", summary.finalReport(millisecondsSince(start)).c_str());
  return 0;
}

struct LoadTally {
  long e = 0, p = 0, d = 0, failed = 0, lateCycles = 0;
  int64_t worstLateMs = 0;
  long total() const { return e + p + d; }
};

int playLoad(const ToolCommand& command) {
  GroupSocket group;
  std::string error;
  if (!group.openForSending(error)) return networkFailure(error);
  const LoadModel model(command.loadAgents);
  std::printf("playing %d simulated agents (%s ...) into %s:%d for %d s\n", command.loadAgents,
              model.agentName(0).c_str(), MCAST_GROUP, MCAST_PORT, command.loadSeconds);
  std::fflush(stdout);
  catchInterrupts();
  LoadTally tally;
  char text[MSG_BUFFER_SIZE];
  const sockaddr_in to = groupSocketAddress();
  auto send = [&](const Message& m) {
    const int length = formatMessage(m, text, sizeof text);
    if (length < 0 || !group.sendTo(to, text, static_cast<size_t>(length) + 1)) ++tally.failed;
    if (m.type == 'E') ++tally.e;
    if (m.type == 'P') ++tally.p;
    if (m.type == 'D') ++tally.d;
  };
  const long cycles = command.loadSeconds * 1000L / LOAD_CYCLE_MS;
  const Clock::time_point start = Clock::now();
  for (long cycle = 0; cycle < cycles && interrupted == 0; ++cycle) {
    const Clock::time_point due = start + std::chrono::milliseconds(cycle * LOAD_CYCLE_MS);
    // Agent i starts its cycle i/N of the way through it, in slices of LOAD_SLICE_MS.
    const int agents = model.agentCount();
    for (int slice = 0, next = 0; slice < LOAD_SLICES && interrupted == 0; ++slice) {
      std::this_thread::sleep_until(due + std::chrono::milliseconds(slice * LOAD_SLICE_MS));
      const int end = static_cast<int>(static_cast<long>(agents) * (slice + 1) / LOAD_SLICES);
      for (; next < end; ++next) model.playAgentCycle(next, cycle, send);
    }
    const int64_t overrunMs = millisecondsSince(due) - LOAD_CYCLE_MS;
    if (overrunMs > 0) {
      ++tally.lateCycles;
      if (overrunMs > tally.worstLateMs) tally.worstLateMs = overrunMs;
    }
  }
  if (interrupted == 0) std::this_thread::sleep_until(start + std::chrono::milliseconds(cycles * LOAD_CYCLE_MS));
  const double seconds = static_cast<double>(millisecondsSince(start)) / 1000.0;
  std::printf("sent %ld messages in %.1f s (%.0f/s): %ld E, %ld P, %ld D; %ld sends failed; "
              "%ld cycles overran 500 ms (worst by %lld ms)\n",
              tally.total(), seconds, seconds > 0 ? static_cast<double>(tally.total()) / seconds : 0.0, tally.e,
              tally.p, tally.d, tally.failed, tally.lateCycles, static_cast<long long>(tally.worstLateMs));
  return tally.failed > 0 ? EXIT_NETWORK : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  ToolCommand command;
  std::string error;
  if (!parseToolCommand(args, command, error)) {
    std::fprintf(stderr, "agentctl: %s\n(agentctl --help shows the usage)\n", error.c_str());
    return EXIT_USAGE;
  }
  switch (command.action) {
    case ToolAction::Help: std::printf("%s", agentctlUsage().c_str()); return 0;
    case ToolAction::Send: return sendCommand(command);
    case ToolAction::Watch: return watchGroup(command);
    case ToolAction::Load: return playLoad(command);
  }
  return EXIT_USAGE;
}
