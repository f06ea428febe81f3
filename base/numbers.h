#pragma once
// Strict reading of numbers given on command lines: the whole text is the number (no
// blanks, no sign '+', nothing after it), it is finite, and it lies within [min, max].
// The value is stored only when the text passes.
#include <charconv>
#include <concepts>
#include <string_view>

enum class NumberCheck { Ok, NotANumber, NotFinite, OutOfRange };

NumberCheck readReal(std::string_view text, double min, double max, double& value);

template <std::integral Int>
NumberCheck readInteger(std::string_view text, Int min, Int max, Int& value) {
  Int v{};
  const char* end = text.data() + text.size();
  auto [stop, status] = std::from_chars(text.data(), end, v);
  if (text.empty() || stop != end) return NumberCheck::NotANumber;
  if (status == std::errc::result_out_of_range) return NumberCheck::OutOfRange;
  if (status != std::errc()) return NumberCheck::NotANumber;
  if (v < min || v > max) return NumberCheck::OutOfRange;
  value = v;
  return NumberCheck::Ok;
}
