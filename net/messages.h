#pragma once
// The agents' text messages: one message per datagram, a type letter as the first byte,
// the agent name, then the type's numeric fields, followed by a NUL.
//
// Reading works like formatted numeric input: after the type letter each item starts
// after any run of blanks; the name is one blank-free word; a real is the longest prefix
// that strtod accepts (so "1.5x" reads 1.5 and the next item starts at "x"); a 16-bit
// value is decimal digits with an optional leading '+'. A value above 65535, a minus
// sign on a 16-bit value, a missing item, a number that is not finite, or a coordinate
// beyond MAP_COORD_BOUND_MM makes the whole message unreadable. Text after the last
// field is ignored.
//
// S (silent sonar beams) ends in a list of disc numbers: one blank-free word of numbers
// from 0 to MAX_SILENT_DISCS - 1 joined by commas ("S alpha 1200.000 -350.000 90.000
// 2,3,12"); an empty item, a number out of range or another character makes the
// message unreadable.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

constexpr size_t MSG_BUFFER_SIZE = 1400;  // the largest message, NUL included
constexpr std::string_view ALL_AGENTS = "all";
constexpr int MAX_SILENT_DISCS = 16;      // the discs an S message can name

struct Message {
  char type = 0;          // D, P, E, O, G, W, M, J, S, C or T
  std::string_view name;  // the sender (D, P, E, O, S, C, T) or the addressee (G, W, M, J)
  // In the order the type carries them:
  //   D, P, G, W, S: x, y, th    E: point x, y, robot x, y, th
  //   C: how far pose correction has moved the sender's pose from its odometry's, x, y, th
  //   O: point x, y              J: a, b, c, d
  //   T: place x, y
  std::array<double, 5> reals{};
  std::array<uint16_t, 2> values{};  // M: mode; J: u, v; S: the silent discs, bit n for disc n;
                                     // T: way status (base/way_status.h)
};

// Reads the NUL-terminated text into message; its name points into text. False when
// the text is not a readable message of a known type (see above).
bool parseMessage(const char* text, Message& message);

// Reads a received datagram: buffer holds MSG_BUFFER_SIZE bytes of which the first
// length arrived (length may exceed the buffer when the datagram was cut by the
// receive). The text is ended with a NUL at the received length and at byte
// MSG_BUFFER_SIZE - 1 at most, so bytes an earlier, longer datagram left in the buffer
// are never read. False for an empty datagram or an unreadable text.
bool readDatagram(char* buffer, size_t length, Message& message);

// Writes the message as its sender does ("%.3lf" reals, single blanks) with its NUL into
// out. Returns the text length without the NUL, or -1 when the type is unknown or the
// text and its NUL do not fit in size bytes (nothing usable is written then).
int formatMessage(const Message& message, char* out, size_t size);
