#pragma once
// ROS 2's wire encoding of messages: OMG CDR (XCDR version 1) in little-endian order,
// as rmw implementations and rosbag2 write it. A message starts with the 4-byte
// encapsulation header 00 01 00 00 (CDR_LE); every primitive is aligned to its own size
// (8-byte values to 8) counted from the end of that header; a string is a uint32 length
// that counts its terminating NUL, its bytes and the NUL; a sequence is a uint32 count and
// its elements.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

class CdrWriter {
 public:
  CdrWriter();

  void u8(uint8_t v) { myBytes.push_back(static_cast<char>(v)); }
  void i8(int8_t v) { u8(static_cast<uint8_t>(v)); }
  void u32(uint32_t v) { put(&v, sizeof v); }
  void i32(int32_t v) { put(&v, sizeof v); }
  void f32(float v) { put(&v, sizeof v); }
  void f64(double v) { put(&v, sizeof v); }
  void string(std::string_view text);
  // A sequence's element count; the elements follow.
  void count(size_t n) { u32(static_cast<uint32_t>(n)); }
  // A sequence of bytes, count and all.
  void bytes(std::span<const uint8_t> data);

  const std::string& data() const { return myBytes; }
  std::string take() { return std::move(myBytes); }

 private:
  // Pads to a multiple of size, counted from the end of the header, then appends size bytes.
  void put(const void* value, size_t size);

  std::string myBytes;
};

// Reads what CdrWriter writes, checking every length against the data: after the first
// read past the end (or a header other than CDR_LE), ok() is false and reads give 0.
class CdrReader {
 public:
  explicit CdrReader(std::span<const uint8_t> data);

  bool ok() const { return myOk; }
  uint32_t u32();
  int32_t i32();
  double f64();
  std::string string();
  // A sequence's element count, refused (ok() false) when fewer than minimumElementSize
  // bytes a piece remain for them.
  uint32_t count(size_t minimumElementSize);

 private:
  bool take(void* value, size_t size);

  std::span<const uint8_t> myData;
  size_t myAt = 4;
  bool myOk = true;
};
