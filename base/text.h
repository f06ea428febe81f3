#pragma once
// Character classes of text the system reads (messages, map files, command lines), in
// the C locale whatever the process's locale is.

// Blank, tab, line feed, vertical tab, form feed or carriage return.
constexpr bool isBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
constexpr bool isDigit(char c) { return c >= '0' && c <= '9'; }
