#include "net/messages.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/text.h"
#include "map/map_cell.h"

namespace {

struct Shape {
  char type;
  int reals;
  int values;
  int points;     // leading (x, y) pairs of reals that are map coordinates
  bool discList;  // ends in a list of disc numbers (values[0] as a bit set)
};

constexpr Shape SHAPES[] = {
    {'D', 3, 0, 1, false}, {'P', 3, 0, 1, false}, {'E', 5, 0, 2, false}, {'O', 2, 0, 1, false},
    {'G', 3, 0, 1, false}, {'W', 3, 0, 1, false}, {'M', 0, 1, 0, false}, {'J', 4, 2, 0, false},
    {'S', 3, 0, 1, true},
    {'C', 3, 0, 0, false},
    {'T', 2, 1, 1, false},
};

const Shape* findShape(char type) {
  for (const Shape& s : SHAPES) {
    if (s.type == type) return &s;
  }
  return nullptr;
}

// One pass over a NUL-terminated text; every read first skips blanks.
class TextReader {
 public:
  explicit TextReader(const char* text) : myAt(text), myEnd(text + std::strlen(text)) {}

  bool word(std::string_view& out) {
    skipBlanks();
    const char* start = myAt;
    while (myAt != myEnd && !isBlank(*myAt)) ++myAt;
    out = std::string_view(start, static_cast<size_t>(myAt - start));
    return !out.empty();
  }

  // strtod's reading, which formatted input shares. from_chars reads the common
  // decimal forms several times faster; strtod takes what from_chars does not (hex,
  // values beyond the double range). from_chars knows no plus sign, so it is skipped.
  bool real(double& out) {
    skipBlanks();
    if (!startsHex()) {
      const char* from = (*myAt == '+' && myAt[1] != '-' && myAt[1] != '+') ? myAt + 1 : myAt;
      auto [end, error] = std::from_chars(from, myEnd, out);
      if (error == std::errc()) {
        myAt = end;
        return true;
      }
      if (error == std::errc::invalid_argument) return false;
    }
    char* end = nullptr;
    out = std::strtod(myAt, &end);
    if (end == myAt) return false;
    myAt = end;
    return true;
  }

  // Disc numbers joined by commas, as a bit set.
  bool discs(uint16_t& out) {
    std::string_view list;
    if (!word(list)) return false;
    unsigned set = 0;
    size_t at = 0;
    while (at <= list.size()) {
      const size_t comma = std::min(list.find(',', at), list.size());
      int disc = 0;
      const char* first = list.data() + at;
      const char* last = list.data() + comma;
      auto [end, error] = std::from_chars(first, last, disc);
      if (first == last || end != last || error != std::errc() || disc < 0 || disc >= MAX_SILENT_DISCS) return false;
      set |= 1u << disc;
      at = comma + 1;
    }
    out = static_cast<uint16_t>(set);
    return true;
  }

  // Decimal digits only: strtoul would take "-1" as a huge value and wrap it into range.
  bool value(uint16_t& out) {
    skipBlanks();
    if (*myAt == '+') ++myAt;
    if (!isDigit(*myAt)) return false;
    unsigned long v = 0;
    for (; isDigit(*myAt); ++myAt) {
      if (v <= 65535) v = v * 10 + static_cast<unsigned long>(*myAt - '0');
    }
    if (v > 65535) return false;
    out = static_cast<uint16_t>(v);
    return true;
  }

 private:
  void skipBlanks() {
    while (isBlank(*myAt)) ++myAt;
  }
  bool startsHex() const {
    const char* p = (*myAt == '+' || *myAt == '-') ? myAt + 1 : myAt;
    return p[0] == '0' && (p[1] == 'x' || p[1] == 'X');
  }

  const char* myAt;
  const char* myEnd;
};

bool numbersUsable(const Shape& shape, const Message& m) {
  for (int i = 0; i < shape.reals; ++i) {
    if (!std::isfinite(m.reals[i])) return false;
  }
  for (int i = 0; i < shape.points; ++i) {
    if (!pointInBounds(m.reals[2 * i], m.reals[2 * i + 1])) return false;
  }
  return true;
}

// The set bits as disc numbers joined by commas; false for an empty set.
bool formatDiscs(uint16_t set, char* out, size_t size) {
  size_t at = 0;
  for (int disc = 0; disc < MAX_SILENT_DISCS; ++disc) {
    if ((set >> disc & 1) == 0) continue;
    const int n = std::snprintf(out + at, size - at, at == 0 ? "%d" : ",%d", disc);
    if (n < 0 || static_cast<size_t>(n) >= size - at) return false;
    at += static_cast<size_t>(n);
  }
  return at > 0;
}

}  // namespace

bool parseMessage(const char* text, Message& message) {
  const Shape* shape = findShape(text[0]);
  if (shape == nullptr) return false;
  Message m;
  m.type = text[0];
  TextReader reader(text + 1);
  if (!reader.word(m.name)) return false;
  for (int i = 0; i < shape->reals; ++i) {
    if (!reader.real(m.reals[i])) return false;
  }
  for (int i = 0; i < shape->values; ++i) {
    if (!reader.value(m.values[i])) return false;
  }
  if (shape->discList && !reader.discs(m.values[0])) return false;
  if (!numbersUsable(*shape, m)) return false;
  message = m;
  return true;
}

bool readDatagram(char* buffer, size_t length, Message& message) {
  if (length == 0) return false;
  buffer[length < MSG_BUFFER_SIZE ? length : MSG_BUFFER_SIZE - 1] = '\0';
  return parseMessage(buffer, message);
}

int formatMessage(const Message& m, char* out, size_t size) {
  if (m.name.size() >= size) return -1;
  const int nameLen = static_cast<int>(m.name.size());
  const char* name = m.name.data();
  const auto& r = m.reals;
  int n = -1;
  switch (m.type) {
    case 'D':
    case 'P':
    case 'G':
    case 'W':
    case 'C':
      n = std::snprintf(out, size, "%c %.*s %.3lf %.3lf %.3lf", m.type, nameLen, name, r[0], r[1], r[2]);
      break;
    case 'E':
      n = std::snprintf(out, size, "E %.*s %.3lf %.3lf %.3lf %.3lf %.3lf", nameLen, name, r[0], r[1], r[2], r[3],
                        r[4]);
      break;
    case 'O':
      n = std::snprintf(out, size, "O %.*s %.3lf %.3lf", nameLen, name, r[0], r[1]);
      break;
    case 'M':
      n = std::snprintf(out, size, "M %.*s %u", nameLen, name, unsigned{m.values[0]});
      break;
    case 'T':
      n = std::snprintf(out, size, "T %.*s %.3lf %.3lf %u", nameLen, name, r[0], r[1], unsigned{m.values[0]});
      break;
    case 'J':
      n = std::snprintf(out, size, "J %.*s %.3lf %.3lf %.3lf %.3lf %u %u", nameLen, name, r[0], r[1], r[2], r[3],
                        unsigned{m.values[0]}, unsigned{m.values[1]});
      break;
    case 'S': {
      char list[3 * MAX_SILENT_DISCS] = "";
      if (!formatDiscs(m.values[0], list, sizeof list)) return -1;
      n = std::snprintf(out, size, "S %.*s %.3lf %.3lf %.3lf %s", nameLen, name, r[0], r[1], r[2], list);
      break;
    }
    default:
      return -1;
  }
  if (n < 0 || static_cast<size_t>(n) >= size) return -1;
  return n;
}
