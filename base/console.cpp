#include "base/console.h"

// flockfile holds the stream for the whole line; stdio's own calls inside take the same
// (recursive) lock.

namespace {

void writeLocked(std::FILE* stream, std::string_view text, bool lineEnd) {
  flockfile(stream);
  std::fwrite(text.data(), 1, text.size(), stream);
  if (lineEnd) std::fputc('\n', stream);
  std::fflush(stream);
  funlockfile(stream);
}

}  // namespace

void writeLine(std::FILE* stream, std::string_view text) { writeLocked(stream, text, true); }

void writeText(std::FILE* stream, std::string_view text) { writeLocked(stream, text, false); }
