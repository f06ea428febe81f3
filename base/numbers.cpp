#include "base/numbers.h"

#include <cmath>

NumberCheck readReal(std::string_view text, double min, double max, double& value) {
  double v = 0;
  const char* end = text.data() + text.size();
  auto [stop, status] = std::from_chars(text.data(), end, v);
  // Beyond the range of a double counts as no number at all, as a typing slip would.
  if (text.empty() || status != std::errc() || stop != end) return NumberCheck::NotANumber;
  if (!std::isfinite(v)) return NumberCheck::NotFinite;
  if (v < min || v > max) return NumberCheck::OutOfRange;
  value = v;
  return NumberCheck::Ok;
}
