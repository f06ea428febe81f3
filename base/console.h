#pragma once
// Console lines that several threads write. Each call is one write of the whole text
// under the stream's lock, flushed, so a line never mixes with another thread's.
#include <cstdio>
#include <string_view>

// The text and a line end.
void writeLine(std::FILE* stream, std::string_view text);
// The text alone, for a line that another call completes ("Reading global map. . . ").
void writeText(std::FILE* stream, std::string_view text);
