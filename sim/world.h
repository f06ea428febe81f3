#pragma once
// The simulator's world: wall segments and the robots' start poses, read from a text file.
//
// World file format (all lengths in millimetres, angles in degrees counter-clockwise
// from +x). One item per line; blank lines and everything after '#' are ignored; items
// are separated by blanks or tabs:
//
//   wall  X1 Y1 X2 Y2    a straight wall from (X1, Y1) to (X2, Y2); must have a length
//   box   X1 Y1 X2 Y2    an axis-aligned rectangle outline with opposite corners (X1, Y1)
//                        and (X2, Y2), stored as its four walls; both sides non-zero
//   start X Y TH         a robot start pose; robots take them in file order, cyclically
//
// Every number must be finite and within +-1000000 mm. A line that breaks a rule makes
// the whole file fail with "FILE:LINE: message". A world without start lines starts every
// robot at (0, 0, 0).
#include <cstddef>
#include <string>
#include <vector>

namespace sim {

struct Segment { double x1, y1, x2, y2; };  // mm
struct StartPose { double x, y, thDeg; };

struct World {
  std::vector<Segment> walls;  // boxes are expanded to their four walls
  std::vector<StartPose> starts;
};

// Largest magnitude a world coordinate may have, mm.
constexpr double kWorldCoordLimit = 1000000.0;
// Largest world file read; a world of thousands of lines is a few hundred KiB.
constexpr size_t kMaxWorldBytes = size_t{16} << 20;

// The start poses robots take, in order: the world's, or the origin alone when it has none.
std::vector<StartPose> startPoses(const World& world);

// Parses world text. On failure returns false, leaves out untouched and sets error to
// "line N: message".
bool parseWorld(const std::string& text, World& out, std::string& error);
// Reads and parses a world file. Errors read "PATH:N: message" (or "PATH: message"
// when the file cannot be read, is a directory or is too large). Messages quote words
// of the file with their non-printable bytes escaped.
bool loadWorld(const std::string& path, World& out, std::string& error);

}  // namespace sim
