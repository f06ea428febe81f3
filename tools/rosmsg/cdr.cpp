#include "tools/rosmsg/cdr.h"

#include <bit>
#include <cstring>

static_assert(std::endian::native == std::endian::little, "CDR_LE is written by copying native values");

namespace {

constexpr size_t HEADER = 4;
constexpr uint8_t CDR_LE[HEADER] = {0x00, 0x01, 0x00, 0x00};

size_t padding(size_t offset, size_t size) { return (size - offset % size) % size; }

}  // namespace

CdrWriter::CdrWriter() : myBytes(reinterpret_cast<const char*>(CDR_LE), HEADER) {}

void CdrWriter::put(const void* value, size_t size) {
  myBytes.append(padding(myBytes.size() - HEADER, size), '\0');
  myBytes.append(static_cast<const char*>(value), size);
}

void CdrWriter::string(std::string_view text) {
  u32(static_cast<uint32_t>(text.size() + 1));
  myBytes.append(text);
  myBytes.push_back('\0');
}

void CdrWriter::bytes(std::span<const uint8_t> data) {
  count(data.size());
  myBytes.append(reinterpret_cast<const char*>(data.data()), data.size());
}

CdrReader::CdrReader(std::span<const uint8_t> data) : myData(data) {
  myOk = data.size() >= HEADER && std::memcmp(data.data(), CDR_LE, HEADER) == 0;
}

bool CdrReader::take(void* value, size_t size) {
  const size_t at = myAt + padding(myAt - HEADER, size);
  if (!myOk || at > myData.size() || myData.size() - at < size) {
    myOk = false;
    std::memset(value, 0, size);
    return false;
  }
  std::memcpy(value, myData.data() + at, size);
  myAt = at + size;
  return true;
}

uint32_t CdrReader::u32() {
  uint32_t v;
  take(&v, sizeof v);
  return v;
}

int32_t CdrReader::i32() {
  int32_t v;
  take(&v, sizeof v);
  return v;
}

double CdrReader::f64() {
  double v;
  take(&v, sizeof v);
  return v;
}

std::string CdrReader::string() {
  const uint32_t length = u32();
  if (!myOk || length == 0 || myData.size() - myAt < length || myData[myAt + length - 1] != 0) {
    myOk = false;
    return "";
  }
  std::string text(reinterpret_cast<const char*>(myData.data() + myAt), length - 1);
  myAt += length;
  return text;
}

uint32_t CdrReader::count(size_t minimumElementSize) {
  const uint32_t n = u32();
  if (myOk && minimumElementSize > 0 && n > (myData.size() - myAt) / minimumElementSize) myOk = false;
  return myOk ? n : 0;
}
