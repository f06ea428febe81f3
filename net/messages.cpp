#include "net/messages.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "map/map_cell.h"

namespace {

struct Shape {
  char type;
  int reals;
  int values;
  int points;  // leading (x, y) pairs of reals that are map coordinates
};

constexpr Shape SHAPES[] = {
    {'D', 3, 0, 1}, {'P', 3, 0, 1}, {'E', 5, 0, 2}, {'O', 2, 0, 1},
    {'G', 3, 0, 1}, {'W', 3, 0, 1}, {'M', 0, 1, 0}, {'J', 4, 2, 0},
};

const Shape* findShape(char type) {
  for (const Shape& s : SHAPES) {
    if (s.type == type) return &s;
  }
  return nullptr;
}

// The blanks of formatted input in the C locale.
bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

const char* skipBlanks(const char* p) {
  while (isBlank(*p)) ++p;
  return p;
}

bool readWord(const char*& p, std::string_view& word) {
  p = skipBlanks(p);
  const char* start = p;
  while (*p != '\0' && !isBlank(*p)) ++p;
  word = std::string_view(start, static_cast<size_t>(p - start));
  return !word.empty();
}

bool readReal(const char*& p, double& value) {
  p = skipBlanks(p);
  char* end = nullptr;
  value = std::strtod(p, &end);
  if (end == p) return false;
  p = end;
  return true;
}

// Decimal digits only: strtoul would take "-1" as a huge value and wrap it into range.
bool readValue(const char*& p, uint16_t& value) {
  p = skipBlanks(p);
  if (*p == '+') ++p;
  if (!isDigit(*p)) return false;
  unsigned long v = 0;
  for (; isDigit(*p); ++p) {
    if (v <= 65535) v = v * 10 + static_cast<unsigned long>(*p - '0');
  }
  if (v > 65535) return false;
  value = static_cast<uint16_t>(v);
  return true;
}

bool numbersUsable(const Shape& shape, const Message& m) {
  for (int i = 0; i < shape.reals; ++i) {
    if (!std::isfinite(m.reals[i])) return false;
  }
  for (int i = 0; i < shape.points; ++i) {
    if (!pointInBounds(m.reals[2 * i], m.reals[2 * i + 1])) return false;
  }
  return true;
}

}  // namespace

bool messageShape(char type, int& realCount, int& valueCount) {
  const Shape* shape = findShape(type);
  if (shape == nullptr) return false;
  realCount = shape->reals;
  valueCount = shape->values;
  return true;
}

bool parseMessage(const char* text, Message& message) {
  const Shape* shape = findShape(text[0]);
  if (shape == nullptr) return false;
  Message m;
  m.type = text[0];
  const char* p = text + 1;
  if (!readWord(p, m.name)) return false;
  for (int i = 0; i < shape->reals; ++i) {
    if (!readReal(p, m.reals[i])) return false;
  }
  for (int i = 0; i < shape->values; ++i) {
    if (!readValue(p, m.values[i])) return false;
  }
  if (!numbersUsable(*shape, m)) return false;
  message = m;
  return true;
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
    case 'J':
      n = std::snprintf(out, size, "J %.*s %.3lf %.3lf %.3lf %.3lf %u %u", nameLen, name, r[0], r[1], r[2], r[3],
                        unsigned{m.values[0]}, unsigned{m.values[1]});
      break;
    default:
      return -1;
  }
  if (n < 0 || static_cast<size_t>(n) >= size) return -1;
  return n;
}
