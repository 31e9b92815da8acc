#include "gateway/control/text.h"

#include <climits>

std::string UpperCase(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

bool IsTrimSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string TrimRight(std::string text) {
  std::size_t end = text.size();
  while (end > 0 && IsTrimSpace(text[end - 1])) --end;
  text.erase(end);
  return text;
}

std::string TrimLeft(std::string text) {
  std::size_t begin = 0;
  while (begin < text.size() && IsTrimSpace(text[begin])) ++begin;
  text.erase(0, begin);
  return text;
}

std::string Trim(std::string text) { return TrimLeft(TrimRight(std::move(text))); }

int DecimalValue(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsTrimSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT_MAX) value = INT_MAX;
  return static_cast<int>(value);
}

std::string CString(const char* bytes, std::size_t capacity) {
  std::size_t n = 0;
  while (n < capacity && bytes[n] != '\0') ++n;
  return std::string(bytes, n);
}
