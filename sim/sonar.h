#pragma once
// The Pioneer 3-DX sonar ring: 16 transducers, front array 0-7 and rear array 8-15.
namespace sim {

struct Transducer {
  double x, y, headingDeg;  // robot frame: mm from the centre of rotation, x forward, y left
};

constexpr int kSonarCount = 16;
constexpr int kDiscsPerArray = 8;
constexpr int kSonarArrays = 2;
constexpr int kNoEchoMm = 5000;  // reported when nothing lies within this range

constexpr Transducer kTransducers[kSonarCount] = {
    {69, 136, 90},     {114, 119, 50},    {148, 78, 30},     {166, 27, 10},
    {166, -27, -10},   {148, -78, -30},   {114, -119, -50},  {69, -136, -90},
    {-157, -136, -90}, {-203, -119, -130}, {-237, -78, -150}, {-255, -27, -170},
    {-255, 27, 170},   {-237, 78, 150},   {-203, 119, 130},  {-157, 136, 90},
};

}  // namespace sim
