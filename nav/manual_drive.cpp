#include "nav/manual_drive.h"

#include <algorithm>
#include <cstdio>

JoyPoll centredPoll(const JoyRecord& record) {
  JoyPoll poll;
  const uint32_t raw[JOY_AXES] = {record.xPos, record.yPos, record.zPos, record.rPos, record.uPos, record.vPos};
  for (int i = 0; i < JOY_AXES; ++i) poll.axes[i] = static_cast<int>(raw[i]) - 32767;
  poll.buttons = record.buttons;
  return poll;
}

int manualVelocity(int centredY) {
  if (centredY >= -14 && centredY <= 14) return 0;
  return -(centredY * 1000 / 32768);
}

int manualHeadingChange(int centredX) {
  if (centredX >= -239 && centredX <= 239) return 0;
  return centredX * -90 / 32768;
}

size_t formatJoyStatus(char* out, size_t size, const JoyPoll& poll, int numAxes, uint32_t pov) {
  static constexpr const char* LABELS[JOY_AXES] = {" X:", " Y:", " Z:", " R:", " U:", " V:"};
  if (size == 0) return 0;
  size_t length = 0;
  auto append = [&](int written) {
    if (written > 0) length = std::min(size - 1, length + static_cast<size_t>(written));
  };
  append(std::snprintf(out, size, "B: "));
  for (int bit = 9; bit >= 0; --bit) append(std::snprintf(out + length, size - length, "%c", (poll.buttons >> bit) & 1 ? '1' : '0'));
  for (int i = 0; i < std::min(numAxes, JOY_AXES); ++i) {
    append(std::snprintf(out + length, size - length, "%s%7d", LABELS[i], poll.axes[i]));
  }
  if (numAxes > JOY_AXES) append(std::snprintf(out + length, size - length, " more skipped"));
  if (pov <= 36000) append(std::snprintf(out + length, size - length, " POW: %7u", static_cast<unsigned>(pov)));
  return length;
}
