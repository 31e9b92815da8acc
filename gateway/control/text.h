// Single-byte text helpers shared by the gateway's functions.
#pragma once

#include <string>
#include <string_view>

// Letters a to z become A to Z; nothing else changes.
std::string UpperCase(std::string text);
bool IsTrimSpace(char c);  // blank, TAB, LF, VT, FF, CR
std::string TrimRight(std::string text);
std::string TrimLeft(std::string text);
std::string Trim(std::string text);  // end first, then start
// The C library's decimal conversion: leading white space, an optional sign,
// digits up to the first other character; 0 without digits. Saturates
// instead of overflowing.
int DecimalValue(std::string_view text);
// The text up to its first NUL byte, as a C string would read it.
std::string CString(const char* bytes, std::size_t capacity);
