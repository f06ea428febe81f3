#include "sim/world.h"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string_view>

namespace sim {
namespace {

// Splits a line (comment already removed) into blank-separated words.
std::vector<std::string_view> splitWords(std::string_view line) {
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

// A word of the file as an error message may show it: printable ASCII as it is, other
// bytes as \xNN, cut after a few dozen characters, so a binary file never reaches the
// terminal raw.
std::string quoted(std::string_view word) {
  constexpr size_t kShown = 40;
  std::string text = "'";
  for (size_t i = 0; i < word.size() && i < kShown; ++i) {
    const unsigned char c = static_cast<unsigned char>(word[i]);
    if (c >= 0x20 && c < 0x7F) {
      text += static_cast<char>(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      text += hex;
    }
  }
  text += word.size() > kShown ? "'..." : "'";
  return text;
}

bool parseNumber(std::string_view word, double& value) {
  const char* end = word.data() + word.size();
  auto [ptr, ec] = std::from_chars(word.data(), end, value);
  return ec == std::errc() && ptr == end;
}

// Reads the numbers after the keyword into values; message explains a failure.
bool parseNumbers(const std::vector<std::string_view>& words, size_t expected, double* values,
                  std::string& message) {
  if (words.size() - 1 != expected) {
    message = std::string(words[0]) + " needs " + std::to_string(expected) + " numbers, got " +
              std::to_string(words.size() - 1);
    return false;
  }
  for (size_t i = 0; i < expected; ++i) {
    const std::string_view word = words[i + 1];
    if (!parseNumber(word, values[i])) {
      message = "not a number: " + quoted(word);
      return false;
    }
    if (!std::isfinite(values[i]) || std::fabs(values[i]) > kWorldCoordLimit) {
      message = "number out of range: " + quoted(word);
      return false;
    }
  }
  return true;
}

void addBox(const double* v, World& world) {
  const double x1 = v[0], y1 = v[1], x2 = v[2], y2 = v[3];
  world.walls.push_back({x1, y1, x2, y1});
  world.walls.push_back({x2, y1, x2, y2});
  world.walls.push_back({x2, y2, x1, y2});
  world.walls.push_back({x1, y2, x1, y1});
}

// Applies one line to world; on failure message says why.
bool parseLine(std::string_view line, World& world, std::string& message) {
  const size_t hash = line.find('#');
  if (hash != std::string_view::npos) line = line.substr(0, hash);
  const std::vector<std::string_view> words = splitWords(line);
  if (words.empty()) return true;
  double v[4];
  const std::string_view keyword = words[0];
  if (keyword == "wall") {
    if (!parseNumbers(words, 4, v, message)) return false;
    if (v[0] == v[2] && v[1] == v[3]) {
      message = "wall has zero length";
      return false;
    }
    world.walls.push_back({v[0], v[1], v[2], v[3]});
    return true;
  }
  if (keyword == "box") {
    if (!parseNumbers(words, 4, v, message)) return false;
    if (v[0] == v[2] || v[1] == v[3]) {
      message = "box needs a non-zero width and height";
      return false;
    }
    addBox(v, world);
    return true;
  }
  if (keyword == "start") {
    if (!parseNumbers(words, 3, v, message)) return false;
    world.starts.push_back({v[0], v[1], v[2]});
    return true;
  }
  message = "unknown item " + quoted(keyword) + " (expected wall, box or start)";
  return false;
}

// Parses text; on failure sets errorLine (1-based) and message.
bool parseLines(const std::string& text, World& out, size_t& errorLine, std::string& message) {
  World world;
  size_t lineNo = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    ++lineNo;
    if (!parseLine(std::string_view(text).substr(pos, end - pos), world, message)) {
      errorLine = lineNo;
      return false;
    }
    pos = end + 1;
  }
  out = std::move(world);
  return true;
}

// Reads the whole file, refusing directories and anything beyond kMaxWorldBytes (a
// device such as /dev/zero would otherwise be read until memory runs out).
bool readWorldText(const std::string& path, std::string& text, std::string& error) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    error = path + ": is a directory, not a world file";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path + ": cannot open the world file";
    return false;
  }
  char chunk[65536];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
    text.append(chunk, static_cast<size_t>(in.gcount()));
    if (text.size() > kMaxWorldBytes) {
      error = path + ": larger than " + std::to_string(kMaxWorldBytes >> 20) + " MiB, not a world file";
      return false;
    }
  }
  if (in.bad()) {
    error = path + ": read error";
    return false;
  }
  return true;
}

}  // namespace

std::vector<StartPose> startPoses(const World& world) {
  return world.starts.empty() ? std::vector<StartPose>{{0, 0, 0}} : world.starts;
}

bool parseWorld(const std::string& text, World& out, std::string& error) {
  size_t line = 0;
  std::string message;
  if (parseLines(text, out, line, message)) return true;
  error = "line " + std::to_string(line) + ": " + message;
  return false;
}

bool loadWorld(const std::string& path, World& out, std::string& error) {
  std::string text;
  if (!readWorldText(path, text, error)) return false;
  if (const size_t nul = text.find('\0'); nul != std::string::npos) {
    const size_t line = 1 + static_cast<size_t>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(nul), '\n'));
    error = path + ":" + std::to_string(line) + ": a NUL byte: not a text file";
    return false;
  }
  size_t line = 0;
  std::string message;
  if (parseLines(text, out, line, message)) return true;
  error = path + ":" + std::to_string(line) + ": " + message;
  return false;
}

}  // namespace sim
