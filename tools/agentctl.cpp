// agentctl: commands to the mapping agents on their multicast group, a decoder of the
// group's traffic, a live team map (as a file and as a web page), a recorder and a
// replayer of the traffic, and a load generator that plays simulated agents at the real
// rates.
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "base/clock.h"
#include "base/modes.h"
#include "base/version.h"
#include "net/group_socket.h"
#include "net/messages.h"
#include "net/team_rules.h"
#include "tools/dds/ros2_team.h"
#include "tools/dds/site_bridge.h"
#include "tools/lib/agent_commands.h"
#include "tools/lib/counted.h"
#include "tools/lib/group_recording.h"
#include "tools/lib/live_view.h"
#include "tools/lib/map_raster.h"
#include "tools/lib/load_model.h"
#include "tools/lib/team_map.h"
#include "tools/lib/traffic_summary.h"
#include "tools/lib/view_server.h"
#include "tools/foxglove/foxglove_server.h"
#include "tools/mcap/team_recording.h"
#include "tools/rosmsg/team_topics.h"

namespace {

constexpr int EXIT_NETWORK = 1;  // also a file that cannot be read or written
constexpr int EXIT_USAGE = 2;
// Datagrams whole, as the recorder keeps them: the largest UDP payload over IPv4 fits.
constexpr size_t WHOLE_DATAGRAM = 65536;
constexpr size_t RECORD_BATCH = 32;
constexpr int64_t RECORD_FLUSH_MS = 1000;
constexpr int64_t SUMMARY_PERIOD_MS = 5000;
constexpr int LOAD_SLICE_MS = 10;
constexpr int LOAD_SLICES = LOAD_CYCLE_MS / LOAD_SLICE_MS;
constexpr int64_t ROS2_MAP_PERIOD_MS = 1000;
constexpr int64_t ROS2_POSE_PERIOD_MS = 250;
constexpr int64_t BRIDGE_REPORT_MS = 10000;

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

// Sleeps until due unless a signal asks to stop first: then it returns false at once
// (within a short slice), also in the middle of a long wait.
bool sleepUntilUninterrupted(Clock::time_point due) {
  constexpr Clock::duration SLICE = std::chrono::milliseconds(50);
  for (Clock::time_point now = Clock::now(); now < due && interrupted == 0; now = Clock::now()) {
    std::this_thread::sleep_for(std::min(due - now, SLICE));
  }
  return interrupted == 0;
}

int64_t millisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

int networkFailure(const std::string& reason) {
  std::fprintf(stderr, "agentctl: %s\n", reason.c_str());
  return EXIT_NETWORK;
}

int fileFailure(const std::string& reason) {
  std::fprintf(stderr, "agentctl: %s\n", reason.c_str());
  return EXIT_NETWORK;
}

std::string receiveFailure() { return std::string("receiving from the group failed: ") + std::strerror(errno); }

// One command's message, with its NUL, to the group; its text goes to text.
bool sendToGroup(const GroupSocket& group, const ToolCommand& command, char (&text)[MSG_BUFFER_SIZE]) {
  const int length = formatMessage(command.message(), text, sizeof text);
  return length >= 0 && group.sendTo(groupSocketAddress(), text, static_cast<size_t>(length) + 1);
}

int sendCommand(const ToolCommand& command) {
  GroupSocket group;
  std::string error;
  if (!group.openForSending(error)) return networkFailure(error);
  char text[MSG_BUFFER_SIZE];
  if (!sendToGroup(group, command, text)) {
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
  const int64_t endMs = command.seconds * int64_t{1000};
  TrafficSummary summary(0);
  int64_t nextSummaryMs = SUMMARY_PERIOD_MS;
  char buffer[MSG_BUFFER_SIZE];
  while (interrupted == 0 && (endMs == 0 || millisecondsSince(start) < endMs)) {
    const long length = group.receive(buffer, sizeof buffer - 1);
    if (length < 0) return networkFailure(receiveFailure());
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
  std::printf("playing %s (%s ...) into %s:%d for %d s\n", counted(command.loadAgents, "simulated agent").c_str(),
              model.agentName(0).c_str(), MCAST_GROUP, MCAST_PORT, command.loadSeconds);
  std::fflush(stdout);
  catchInterrupts();
  LoadTally tally;
  // Messages go out in batches of up to SEND_BATCH, each batch before the next slice.
  std::vector<char> texts(GroupSocket::SEND_BATCH * MSG_BUFFER_SIZE);
  std::vector<iovec> pending;
  const sockaddr_in to = groupSocketAddress();
  auto flush = [&] {
    tally.failed += static_cast<long>(pending.size() - group.sendEach(to, pending.data(), pending.size()));
    pending.clear();
  };
  auto send = [&](const Message& m) {
    char* text = texts.data() + pending.size() * MSG_BUFFER_SIZE;
    const int length = formatMessage(m, text, MSG_BUFFER_SIZE);
    if (length < 0) ++tally.failed;
    else pending.push_back(iovec{text, static_cast<size_t>(length) + 1});
    if (pending.size() == GroupSocket::SEND_BATCH) flush();
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
      flush();
    }
    const int64_t overrunMs = millisecondsSince(due) - LOAD_CYCLE_MS;
    if (overrunMs > 0) {
      ++tally.lateCycles;
      if (overrunMs > tally.worstLateMs) tally.worstLateMs = overrunMs;
    }
  }
  if (interrupted == 0) std::this_thread::sleep_until(start + std::chrono::milliseconds(cycles * LOAD_CYCLE_MS));
  const double seconds = static_cast<double>(millisecondsSince(start)) / 1000.0;
  std::printf("sent %s in %.1f s (%.0f/s): %ld E, %ld P, %ld D; %s failed; %s overran 500 ms (worst by %lld ms)\n",
              counted(tally.total(), "message").c_str(), seconds,
              seconds > 0 ? static_cast<double>(tally.total()) / seconds : 0.0, tally.e, tally.p, tally.d,
              counted(tally.failed, "send").c_str(), counted(tally.lateCycles, "cycle").c_str(),
              static_cast<long long>(tally.worstLateMs));
  return tally.failed > 0 ? EXIT_NETWORK : 0;
}

// Saves the team map and prints the line that reports it. False when the save failed.
bool saveTeam(const TeamMap& team, const std::string& file, double seconds) {
  const bool saved = team.save(file);
  std::printf("%s\n", describeTeam(seconds, file, saved, team.knownCells(), team.peers()).c_str());
  if (!saved) std::fprintf(stderr, "agentctl: cannot write the map file %s\n", file.c_str());
  return saved;
}

// The live observer: listens as an agent does and never sends.
int observeGroup(const ToolCommand& command) {
  GroupSocket group;
  std::string error;
  if (!group.openForListening(error)) return networkFailure(error);
  catchInterrupts();
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  TeamMap team(command.mapping);
  ReceiveBatch batch(TEAM_RUN, MSG_BUFFER_SIZE);
  const Clock::time_point start = Clock::now();
  const int64_t endMs = command.seconds * int64_t{1000};
  const int64_t everyMs = command.everySeconds * int64_t{1000};
  int64_t nextSaveMs = everyMs;
  while (interrupted == 0 && (endMs == 0 || millisecondsSince(start) < endMs)) {
    const long received = group.receiveBatch(batch);
    if (received < 0) {
      const std::string reason = receiveFailure();
      saveTeam(team, command.outFile, static_cast<double>(millisecondsSince(start)) / 1000.0);
      return networkFailure(reason);
    }
    if (received > 0) team.handleBatch(batch, static_cast<size_t>(received), calendarSeconds());
    if (millisecondsSince(start) >= nextSaveMs) {
      saveTeam(team, command.outFile, static_cast<double>(millisecondsSince(start)) / 1000.0);
      nextSaveMs += everyMs;
    }
    pauseWhenBusy(received, batch);
  }
  const bool saved = saveTeam(team, command.outFile, static_cast<double>(millisecondsSince(start)) / 1000.0);
  return saved ? 0 : EXIT_NETWORK;
}

// The team map from recordings, each datagram handled as its receive would have been
// (cut to MSG_BUFFER_SIZE bytes) at the calendar second it arrived. Several recordings
// (of one team on several segments) are read as one, in order of arrival.
int mapRecording(const ToolCommand& command) {
  std::vector<std::string> files = {command.fromFile};
  files.insert(files.end(), command.moreFromFiles.begin(), command.moreFromFiles.end());
  std::vector<RecordingReader> readers(files.size());
  std::vector<RecordedDatagram> next(files.size());
  std::vector<int> status(files.size(), 0);
  std::string error;
  for (size_t i = 0; i < files.size(); ++i) {
    if (!readers[i].open(files[i], error)) return fileFailure(error);
    if ((status[i] = readers[i].next(next[i], error)) < 0) return fileFailure(files[i] + ": " + error);
  }
  TeamMap team(command.mapping);
  char buffer[MSG_BUFFER_SIZE];
  int64_t firstUs = -1, lastUs = 0;
  long datagrams = 0;
  for (;;) {
    size_t earliest = files.size();
    for (size_t i = 0; i < files.size(); ++i) {
      if (status[i] == 1 && (earliest == files.size() || next[i].arrivalUs < next[earliest].arrivalUs)) earliest = i;
    }
    if (earliest == files.size()) break;
    const RecordedDatagram& datagram = next[earliest];
    const size_t kept = std::min(datagram.length, MSG_BUFFER_SIZE);
    std::memcpy(buffer, datagram.payload, kept);
    team.handleDatagram(buffer, kept, static_cast<uint32_t>(datagram.arrivalUs / 1'000'000));
    if (firstUs < 0) firstUs = datagram.arrivalUs;
    lastUs = datagram.arrivalUs;
    ++datagrams;
    status[earliest] = readers[earliest].next(next[earliest], error);
    if (status[earliest] < 0) return fileFailure(files[earliest] + ": " + error);
  }
  std::string names = files[0];
  long skipped = readers[0].skipped();
  for (size_t i = 1; i < files.size(); ++i) {
    names += " + " + files[i];
    skipped += readers[i].skipped();
  }
  for (size_t i = 0; i < files.size(); ++i) {
    if (!readers[i].cutTail().empty()) std::fprintf(stderr, "agentctl: %s: %s\n", files[i].c_str(), readers[i].cutTail().c_str());
  }
  const double span = firstUs < 0 ? 0.0 : static_cast<double>(lastUs - firstUs) / 1e6;
  std::printf("read %s covering %.1f s from %s (%s skipped)\n", counted(datagrams, "datagram").c_str(), span,
              names.c_str(), counted(skipped, "other packet").c_str());
  return saveTeam(team, command.outFile, span) ? 0 : EXIT_NETWORK;
}

timespec arrivalOf(const ReceiveBatch& batch, size_t i) {
  timespec stamp = batch.arrival(i);
  if (stamp.tv_sec == 0 && stamp.tv_nsec == 0) clock_gettime(CLOCK_REALTIME, &stamp);
  return stamp;
}

// Listens as an agent does, never sends, and writes every datagram whole: as pcap to
// FILE, as MCAP with --mcap.
int recordGroup(const ToolCommand& command) {
  GroupSocket group;
  std::string error;
  if (!group.openForListening(error)) return networkFailure(error);
  group.stampArrivals();
  RecordingWriter writer;
  TeamRecording mcap;
  if (!command.file.empty() && !writer.open(command.file, error)) return fileFailure(error);
  if (!command.mcapFile.empty() && !mcap.open(command.mcapFile, McapWriter::Compression::Zstd, error)) {
    return fileFailure(error);
  }
  catchInterrupts();
  ReceiveBatch batch(RECORD_BATCH, WHOLE_DATAGRAM);
  const Clock::time_point start = Clock::now();
  const int64_t endMs = command.seconds * int64_t{1000};
  int64_t nextFlushMs = RECORD_FLUSH_MS;
  long heard = 0;
  bool failed = false;
  while (interrupted == 0 && (endMs == 0 || millisecondsSince(start) < endMs)) {
    const long received = group.receiveBatch(batch);
    if (received < 0) {
      error = receiveFailure();
      failed = true;
      break;
    }
    for (long i = 0; i < received; ++i) {
      const size_t at = static_cast<size_t>(i);
      const timespec arrival = arrivalOf(batch, at);
      writer.write(batch.data(at), batch.length(at), batch.source(at), arrival);
      mcap.datagram(batch.data(at), batch.length(at), batch.source(at),
                    static_cast<int64_t>(arrival.tv_sec) * 1'000'000'000 + arrival.tv_nsec);
      ++heard;
    }
    if (millisecondsSince(start) >= nextFlushMs) {
      writer.flush();
      nextFlushMs += RECORD_FLUSH_MS;
    }
    pauseWhenBusy(received, batch);
  }
  std::string closeError;
  if (!writer.close(closeError)) return fileFailure(command.file + ": " + closeError);
  if (!mcap.close(closeError)) return fileFailure(command.mcapFile + ": " + closeError);
  const std::string files = command.file.empty() ? command.mcapFile
                            : command.mcapFile.empty() ? command.file
                                                       : command.file + " and " + command.mcapFile;
  std::printf("recorded %s in %.1f s to %s\n", counted(heard, "datagram").c_str(),
              static_cast<double>(millisecondsSince(start)) / 1000.0, files.c_str());
  return failed ? networkFailure(error) : 0;
}

// Receives batches from the group until the command's time is up or a signal came,
// handing each to handle (with 0 datagrams after a quiet time-out). 0, or the status of
// a failed receive.
template <class Handle>
int receiveUntilDone(const GroupSocket& group, const ToolCommand& command, Handle handle) {
  ReceiveBatch batch(TEAM_RUN, MSG_BUFFER_SIZE);
  const Clock::time_point start = Clock::now();
  const int64_t endMs = command.seconds * int64_t{1000};
  while (interrupted == 0 && (endMs == 0 || millisecondsSince(start) < endMs)) {
    const long received = group.receiveBatch(batch);
    if (received < 0) return networkFailure(receiveFailure());
    handle(batch, static_cast<size_t>(received));
    pauseWhenBusy(received, batch);
  }
  return 0;
}

// The live map page: listens as the map observer does; sends only the commands the page
// asks for with the token.
int viewGroup(const ToolCommand& command) {
  GroupSocket group, sender;
  std::string error;
  if (!group.openForListening(error) || !sender.openForSending(error)) return networkFailure(error);
  const std::string token = makeToken();
  if (token.empty()) return networkFailure(std::string("no random token from the kernel: ") + std::strerror(errno));
  LiveView view(command.mapping);
  ViewServer server(view, [&sender](const ToolCommand& c) {
    char text[MSG_BUFFER_SIZE];
    return sendToGroup(sender, c, text);
  });
  const int port = server.bind(command.bind, command.port, token);
  if (port < 0) {
    return networkFailure("cannot serve the page on " + command.bind + ":" + std::to_string(command.port) +
                          " (in use, or not an address of this machine)");
  }
  catchInterrupts();
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::printf("serving the team map at http://%s:%d/?token=%s\n", command.bind.c_str(), port, token.c_str());
  std::printf("(commands from the page need this token; without it the page is read only)\n");
  server.start();
  const int status = receiveUntilDone(group, command, [&](ReceiveBatch& batch, size_t received) {
    if (received > 0) view.handleBatch(batch, received, calendarSeconds());
  });
  server.stop();
  return status;
}

int64_t calendarNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// The team to Foxglove: listens as the map observer does; the topics go out as they
// change (poses with each P, the map once a second at most); sends only the goals that
// clients with the token publish, and only with --allow-commands.
int serveFoxglove(const ToolCommand& command) {
  GroupSocket group, sender;
  std::string error;
  if (!group.openForListening(error) || (command.allowCommands && !sender.openForSending(error))) {
    return networkFailure(error);
  }
  const std::string token = command.allowCommands ? makeToken() : "";
  if (command.allowCommands && token.empty()) {
    return networkFailure(std::string("no random token from the kernel: ") + std::strerror(errno));
  }
  FoxgloveServer server([&sender](const ToolCommand& c) {
    char text[MSG_BUFFER_SIZE];
    return sendToGroup(sender, c, text);
  }, command.allowCommands);
  const int port = server.bind(command.bind, command.port, token);
  if (port < 0) {
    return networkFailure("cannot serve on " + command.bind + ":" + std::to_string(command.port) +
                          " (in use, or not an address of this machine)");
  }
  catchInterrupts();
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::printf("serving the team to Foxglove at ws://%s:%d (foxglove.websocket.v1)\n", command.bind.c_str(), port);
  if (command.allowCommands) {
    std::printf("(goals from clients need the token: connect to ws://%s:%d/?token=%s)\n", command.bind.c_str(), port,
                token.c_str());
  }
  server.start();
  TeamMap team(command.mapping);
  TeamTopics topics;
  std::vector<TopicMessage> out;
  const int status = receiveUntilDone(group, command, [&](ReceiveBatch& batch, size_t received) {
    const int64_t nowNs = calendarNanoseconds();
    readBatchInRuns(batch, received, [&](std::span<const Message> run) {
      team.handleMessages(run, static_cast<uint32_t>(nowNs / 1'000'000'000));
      topics.afterMessages(team, run, nowNs, out);
    });
    TopicMessage map;
    if (topics.mapUpdate(team, nowNs, map)) out.push_back(std::move(map));
    if (!out.empty()) server.publish(topics.channels(), std::exchange(out, {}));
  });
  server.stop();
  return status;
}

// A recording as MCAP: its datagrams and the team topics made of them, in recorded time.
int exportRecording(const ToolCommand& command) {
  RecordingReader reader;
  TeamRecording out;
  std::string error;
  const auto compression = command.mcapPlain ? McapWriter::Compression::None : McapWriter::Compression::Zstd;
  if (!reader.open(command.fromFile, error) || !out.open(command.mcapFile, compression, error)) return fileFailure(error);
  RecordedDatagram datagram;
  int64_t firstUs = -1, lastUs = 0;
  long datagrams = 0;
  int status = 0;
  while ((status = reader.next(datagram, error)) == 1) {
    out.datagram(datagram.payload, datagram.length, datagram.source, datagram.arrivalUs * 1000);
    if (firstUs < 0) firstUs = datagram.arrivalUs;
    lastUs = datagram.arrivalUs;
    ++datagrams;
  }
  std::string closeError;
  const bool closed = out.close(closeError);
  if (status < 0) return fileFailure(command.fromFile + ": " + error);
  if (!closed) return fileFailure(command.mcapFile + ": " + closeError);
  std::printf("exported %ld datagrams covering %.1f s from %s to %s: %llu messages, %zu robots, %ld known cells\n",
              datagrams, firstUs < 0 ? 0.0 : static_cast<double>(lastUs - firstUs) / 1e6, command.fromFile.c_str(),
              command.mcapFile.c_str(), static_cast<unsigned long long>(out.messages()), out.team().peers().size(),
              out.team().knownCells());
  return 0;
}

struct ReplayTally {
  long sent = 0, failed = 0, skipped = 0;
  bool cutTold = false;  // the recording's cut end was reported
};

// One pass over the recording from `start`: each datagram sent when its recorded offset
// from the first, divided by the speed, has passed. False when the file failed.
bool replayOnce(const ToolCommand& command, const GroupSocket& group, Clock::time_point start, ReplayTally& tally,
                std::string& error) {
  RecordingReader reader;
  if (!reader.open(command.file, error)) return false;
  const sockaddr_in to = groupSocketAddress();
  RecordedDatagram datagram;
  int64_t firstUs = -1;
  int status = 0;
  while (interrupted == 0 && (status = reader.next(datagram, error)) == 1) {
    if (firstUs < 0) firstUs = datagram.arrivalUs;
    const double offsetUs = static_cast<double>(datagram.arrivalUs - firstUs) / command.speed;
    if (!sleepUntilUninterrupted(start + std::chrono::microseconds(static_cast<int64_t>(std::max(0.0, offsetUs))))) break;
    if (group.sendTo(to, datagram.payload, datagram.length)) {
      ++tally.sent;
    } else {
      ++tally.failed;
    }
  }
  tally.skipped += reader.skipped();
  if (!reader.cutTail().empty() && !tally.cutTold) {
    std::fprintf(stderr, "agentctl: %s: %s\n", command.file.c_str(), reader.cutTail().c_str());
    tally.cutTold = true;
  }
  return status >= 0;
}

int replayRecording(const ToolCommand& command) {
  GroupSocket group;
  std::string error;
  if (!group.openForSending(error)) return networkFailure(error);
  catchInterrupts();
  ReplayTally tally;
  const Clock::time_point start = Clock::now();
  long before = -1;
  while (interrupted == 0 && tally.sent + tally.failed != before) {
    before = tally.sent + tally.failed;  // a pass that sends nothing ends the loop
    if (!replayOnce(command, group, Clock::now(), tally, error)) return fileFailure(command.file + ": " + error);
    if (!command.loop) break;
  }
  std::printf("replayed %s from %s in %.1f s at speed %g; %s failed; %s skipped\n",
              counted(tally.sent, "datagram").c_str(), command.file.c_str(),
              static_cast<double>(millisecondsSince(start)) / 1000.0, command.speed,
              counted(tally.failed, "send").c_str(), counted(tally.skipped, "other packet").c_str());
  return tally.failed > 0 ? EXIT_NETWORK : 0;
}

DdsSettings ddsSettingsOf(const ToolCommand& command) {
  return DdsSettings{command.ddsDomain, command.ddsInterfaces, command.ddsPeers, command.ddsConfig};
}

timespec realtimeNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return now;
}

// The team map as an OccupancyGrid: every addressable cell, as the map_server export
// shows it.
RosGrid rosGridOf(const OccupancyMap& map) {
  const RasterView view = RasterView::whole(map);
  RosGrid grid;
  grid.resolutionM = map.res / 1000.0;
  grid.width = static_cast<uint32_t>(view.width());
  grid.height = static_cast<uint32_t>(view.height());
  grid.originXM = lowerLeftMetres(view.x0, map.res);
  grid.originYM = lowerLeftMetres(view.y0, map.res);
  grid.cells.reserve(static_cast<size_t>(grid.width) * grid.height);
  for (int32_t y = view.y0; y <= view.y1; ++y) {
    for (int32_t x = view.x0; x <= view.x1; ++x) {
      switch (classify(map.cellValue(x, y))) {
        case CellClass::Unknown: grid.cells.push_back(-1); break;
        case CellClass::Free: grid.cells.push_back(0); break;
        case CellClass::Obstacle: grid.cells.push_back(100); break;
      }
    }
  }
  return grid;
}

// Every robot with its tf frame, NAME/base_link as agentctl foxglove names it.
std::vector<RobotPose> robotPoses(const TeamMap& team) {
  std::vector<RobotPose> robots;
  for (const TeamMap::Peer& p : team.peers()) {
    robots.push_back({p.name, rosNameOf(p.name) + "/base_link", p.pose.getX(), p.pose.getY(), p.pose.getTh()});
  }
  return robots;
}

// Each goal from ROS 2 as G, then mode 3, to the robot it is for.
void sendGoals(Ros2Team& ros, const TeamMap& team, const GroupSocket& sender, const std::string& robot) {
  for (const Ros2Team::GoalSample& sample : ros.takeGoals()) {
    if (!sample.error.empty()) {
      std::fprintf(stderr, "agentctl ros2: %s\n", sample.error.c_str());
      continue;
    }
    ToolCommand goal, path;
    goal.type = 'G';
    goal.name = robotForGoal(sample.goal, robotPoses(team), robot);
    if (goal.name.empty()) {
      std::fprintf(stderr, "agentctl ros2: a goal while no robot is known, ignored\n");
      continue;
    }
    goal.reals = {sample.goal.xMm, sample.goal.yMm, sample.goal.thDeg, 0, 0};
    path.type = 'M';
    path.name = goal.name;
    path.values[0] = MODE_PATH;
    char text[MSG_BUFFER_SIZE], second[MSG_BUFFER_SIZE];
    if (!sendToGroup(sender, goal, text) || !sendToGroup(sender, path, second)) {
      std::fprintf(stderr, "agentctl ros2: sending a goal to the group failed\n");
      continue;
    }
    std::printf("goal from ROS 2: sent %s, then %s\n", text, second);
  }
}

// The team map and poses to ROS 2: listens as the map observer does; sends only the
// goals ROS 2 publishes, and only with --allow-commands.
int ros2Group(const ToolCommand& command) {
  GroupSocket group, sender;
  std::string error;
  if (!group.openForListening(error)) return networkFailure(error);
  if (command.allowCommands && !sender.openForSending(error)) return networkFailure(error);
  Ros2Team ros;
  if (!ros.open(ddsSettingsOf(command), command.allowCommands, error)) return networkFailure(error);
  catchInterrupts();
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::printf("publishing the team map on DDS domain %u: ROS 2 topics /map (nav_msgs/msg/OccupancyGrid), /tf\n",
              command.ddsDomain);
  if (command.allowCommands) {
    std::printf("goals on /goal_pose go to %s\n", command.robot.empty() ? "the robot nearest each goal" : command.robot.c_str());
  }
  TeamMap team;
  const Clock::time_point start = Clock::now();
  int64_t nextMapMs = 0, nextPosesMs = 0;
  bool heard = true;  // the first map goes out at once, empty if need be
  return receiveUntilDone(group, command, [&](ReceiveBatch& batch, size_t received) {
    if (received > 0) {
      team.handleBatch(batch, received, calendarSeconds());
      heard = true;
    }
    const int64_t nowMs = millisecondsSince(start);
    if (nowMs >= nextPosesMs) {
      ros.publishPoses(robotPoses(team), realtimeNow());
      nextPosesMs = nowMs + ROS2_POSE_PERIOD_MS;
    }
    if (heard && nowMs >= nextMapMs) {
      RosGrid grid;
      team.readMap([&](const OccupancyMap& map) { grid = rosGridOf(map); });
      if (!ros.publishMap(grid, realtimeNow())) std::fprintf(stderr, "agentctl ros2: publishing the map failed\n");
      nextMapMs = nowMs + ROS2_MAP_PERIOD_MS;
      heard = false;
    }
    if (command.allowCommands) sendGoals(ros, team, sender, command.robot);
  });
}

std::string hostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "site";
  return name;
}

// The latency's median and 99th percentile, ms; "-" without any.
std::string latencySummary(std::vector<int64_t> ns) {
  if (ns.empty()) return "latency heard there -> sent here: none measured";
  std::sort(ns.begin(), ns.end());
  char text[128];
  std::snprintf(text, sizeof text, "latency heard there -> sent here: median %.2f ms, p99 %.2f ms (%zu batches)",
                static_cast<double>(ns[ns.size() / 2]) / 1e6, static_cast<double>(ns[ns.size() * 99 / 100]) / 1e6,
                ns.size());
  return text;
}

void reportBridge(const std::string& site, const BridgeTally& t) {
  std::printf("site %s: heard %ld (%ld injected by bridges, not carried back), published %ld, dropped %ld over "
              "--rate, %ld failed | from other sites: received %ld, sent %ld to the group, lost %ld, duplicates "
              "%ld, dropped %ld over --site-rate, %ld while standing by, %ld from a site's weaker bridge\n",
              site.c_str(), t.heard.load(), t.ownSkipped.load(), t.published.load(), t.sourceDropped.load(),
              t.publishFailed.load(), t.received.load(), t.injected.load(), t.lost.load(), t.duplicates.load(),
              t.siteDropped.load(), t.standbyDropped.load(), t.weaker.load());
}

int bridgeGroup(const ToolCommand& command) {
  BridgeOptions options;
  options.site = command.site.empty() ? hostName() : command.site;
  options.sourceRate = command.sourceRate;
  options.siteRate = command.siteRate;
  BridgeTally tally;
  SiteBridge bridge(options, tally);
  std::string error;
  if (!bridge.open(ddsSettingsOf(command), error)) return networkFailure(error);
  catchInterrupts();
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::printf("bridging site %s's group %s:%d and DDS domain %u (topic %s)\n", options.site.c_str(), MCAST_GROUP,
              MCAST_PORT, command.ddsDomain, BRIDGE_TOPIC);
  const Clock::time_point start = Clock::now();
  const int64_t endMs = command.seconds * int64_t{1000};
  int64_t nextReportMs = BRIDGE_REPORT_MS;
  bridge.run([&] {
    const int64_t nowMs = millisecondsSince(start);
    if (nowMs >= nextReportMs) {
      reportBridge(options.site, tally);
      nextReportMs = nowMs + BRIDGE_REPORT_MS;
    }
    return interrupted == 0 && (endMs == 0 || nowMs < endMs);
  });
  reportBridge(options.site, tally);
  std::printf("%s\n", latencySummary(bridge.latencies()).c_str());
  return 0;
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
    case ToolAction::Help: std::printf("%s", agentctlUsage(command.helpTopic).c_str()); return 0;
    case ToolAction::Version: std::printf("agentctl %s\n", MCAGENT_VERSION); return 0;
    case ToolAction::Send: return sendCommand(command);
    case ToolAction::Watch: return watchGroup(command);
    case ToolAction::Load: return playLoad(command);
    case ToolAction::Map: return command.fromFile.empty() ? observeGroup(command) : mapRecording(command);
    case ToolAction::Record: return recordGroup(command);
    case ToolAction::Replay: return replayRecording(command);
    case ToolAction::View: return viewGroup(command);
    case ToolAction::Export: return exportRecording(command);
    case ToolAction::Foxglove: return serveFoxglove(command);
    case ToolAction::Ros2: return ros2Group(command);
    case ToolAction::Bridge: return bridgeGroup(command);
  }
  return EXIT_USAGE;
}
