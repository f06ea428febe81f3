#include "tools/lib/traffic_summary.h"

#include <cstdio>

#include "base/way_status.h"
#include "tools/lib/agent_commands.h"
#include "tools/lib/counted.h"

namespace {

std::string printed(const char* format, auto... values) {
  char line[MSG_BUFFER_SIZE * 4 + 128];
  std::snprintf(line, sizeof line, format, values...);
  return line;
}

std::string nameOf(const Message& m) { return std::string(m.name); }

}  // namespace

std::string describeMessage(const Message& m) {
  const std::string name = nameOf(m);
  const auto& r = m.reals;
  switch (m.type) {
    case 'D':
    case 'P':
      return printed("%c %s pose %.3f %.3f %.3f", m.type, name.c_str(), r[0], r[1], r[2]);
    case 'E':
      return printed("E %s point %.3f %.3f robot %.3f %.3f %.3f", name.c_str(), r[0], r[1], r[2], r[3], r[4]);
    case 'O':
      return printed("O %s point %.3f %.3f (no robot pose)", name.c_str(), r[0], r[1]);
    case 'G':
      return printed("G to %s goal %.3f %.3f %.3f", name.c_str(), r[0], r[1], r[2]);
    case 'W':
      return printed("W to %s pose %.3f %.3f %.3f", name.c_str(), r[0], r[1], r[2]);
    case 'M': {
      const std::string mode = modeName(m.values[0]);
      return printed("M to %s mode %u%s", name.c_str(), unsigned{m.values[0]},
                     mode.empty() ? "" : (" (" + mode + ")").c_str());
    }
    case 'J':
      return printed("J to %s %.3f %.3f %.3f %.3f %u %u", name.c_str(), r[0], r[1], r[2], r[3],
                     unsigned{m.values[0]}, unsigned{m.values[1]});
    case 'S': {
      std::string discs;
      for (int disc = 0; disc < MAX_SILENT_DISCS; ++disc) {
        if ((m.values[0] >> disc & 1) != 0) discs += (discs.empty() ? "" : ",") + std::to_string(disc);
      }
      return printed("S %s pose %.3f %.3f %.3f silent discs %s", name.c_str(), r[0], r[1], r[2], discs.c_str());
    }
    case 'C':
      return printed("C %s pose corrected by %.3f %.3f %.3f", name.c_str(), r[0], r[1], r[2]);
    case 'T':
      return printed("T %s %s %.3f %.3f", name.c_str(), wayStatusText(m.values[0]), r[0], r[1]);
    default:
      return printed("%c %s", m.type, name.c_str());
  }
}

std::string describeUnreadable(const char* bytes, size_t length) {
  std::string text = "unreadable datagram of " + std::to_string(length) + " bytes: \"";
  for (size_t i = 0; i < length && i < MSG_BUFFER_SIZE; ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c == '\0' && i + 1 == length) break;  // the message's own NUL
    if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
      text += static_cast<char>(c);
    } else {
      text += printed("\\x%02x", c);
    }
  }
  return text + "\"";
}

void TrafficSummary::record(const Message& m) {
  if (m.type != 'D' && m.type != 'P' && m.type != 'E' && m.type != 'O') {
    ++myCommands;
    ++myCommandsTotal;
    return;
  }
  Agent& agent = myAgents.try_emplace(nameOf(m)).first->second;
  for (Counts* counts : {&agent.window, &agent.total}) {
    if (m.type == 'D') ++counts->d;
    if (m.type == 'P') ++counts->p;
    if (m.type == 'E') ++counts->e;
    if (m.type == 'O') ++counts->o;
  }
  if (m.type == 'D' || m.type == 'P') {
    agent.posed = true;
    agent.x = m.reals[0];
    agent.y = m.reals[1];
    agent.th = m.reals[2];
  }
}

std::string TrafficSummary::describe(int64_t fromMs, int64_t toMs, bool whole) const {
  const double seconds = static_cast<double>(toMs - fromMs) / 1000.0;
  const double per = seconds > 0 ? 1.0 / seconds : 0.0;
  std::string text = printed("%s over %.1f s: %s, %s, %ld unreadable\n", whole ? "total" : "summary", seconds,
                             counted(static_cast<long>(myAgents.size()), "agent").c_str(),
                             counted(whole ? myCommandsTotal : myCommands, "command").c_str(),
                             whole ? myUnreadableTotal : myUnreadable);
  for (const auto& [name, agent] : myAgents) {
    const Counts& c = whole ? agent.total : agent.window;
    text += printed("  %-16s D %6.1f/s  P %6.1f/s  E %7.1f/s  O %6.1f/s", name.c_str(), c.d * per, c.p * per,
                    c.e * per, c.o * per);
    text += agent.posed ? printed("  last pose %.3f %.3f %.3f\n", agent.x, agent.y, agent.th) : "  no pose yet\n";
  }
  return text;
}

std::string TrafficSummary::report(int64_t nowMs) {
  std::string text = describe(myWindowStartMs, nowMs, false);
  for (auto& entry : myAgents) entry.second.window = Counts{};
  myCommands = 0;
  myUnreadable = 0;
  myWindowStartMs = nowMs;
  return text;
}

std::string TrafficSummary::finalReport(int64_t nowMs) const { return describe(myStartMs, nowMs, true); }
