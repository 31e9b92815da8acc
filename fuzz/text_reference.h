// A plain restatement of how platform::TextFile reads a file, over the whole
// text at once, for the fuzz targets to compare the buffered reader with.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The lines that ReadLine(max_chars) returns one after another: the text up
// to its first Ctrl-Z, CR LF read as LF, cut at each LF; a last line without
// LF only when not empty; a line longer than max_chars in pieces of
// max_chars.
inline std::vector<std::string> ReferenceLines(std::string_view raw, std::size_t max_chars) {
  std::string text;
  for (std::size_t i = 0; i < raw.size() && raw[i] != '\x1a'; ++i) {
    if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
    text.push_back(raw[i]);
  }
  std::vector<std::string> lines;
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    const std::string_view line = std::string_view(text).substr(begin, end - begin);
    if (line.empty()) lines.emplace_back();
    for (std::size_t p = 0; p < line.size(); p += max_chars) {
      lines.emplace_back(line.substr(p, max_chars));
    }
    begin = end + 1;
  }
  return lines;
}
