// REGEDIT4 reading and writing.
//
// How a file is read (damaged files included; reading never fails):
// - The text is cut into lines at LF; a CR before the LF is dropped, and so
//   are blanks and tabs at either end of a line. Blank lines, lines starting
//   with ";" and the header line "REGEDIT4" are skipped; a missing header is
//   no reason to reject the file.
// - "[path]" opens a section; only blanks may follow the last "]". A section
//   line that cannot be read (no "]", an empty path, text after the "]")
//   opens no key, and the value lines under it are skipped up to the next
//   good section line, so that they never land in another key. A section
//   whose path repeats an earlier one (compared case-insensitively) goes on
//   with that key.
// - A value line is "name"=data or @=data (the default value), blanks
//   allowed around "="; data is "text", dword: with one to eight hex
//   digits, or hex: / hex(N): (N in hex) with a list of two-digit hex bytes
//   separated by commas, continued on the next line after a trailing "\".
//   Inside quotes \\ is a backslash, \" a quote, and every other byte
//   stands for itself.
// - A value line that is none of these, or that stands before the first
//   section, is skipped; the lines after it are read as usual.
// - A hex list that breaks off drops its value whole: a token that is not
//   two hex digits, an empty token (a trailing comma), or a "\" followed by
//   the end of the text or by a line that is not part of a list (one that
//   holds anything but hex digits, commas, blanks and "\"). A value is never
//   read with only part of its bytes. The line that broke the list off is
//   then read as a line of its own.
// - A value whose name repeats one earlier in its key replaces it.
#include "platform/regedit_file.h"

#include <cstdio>
#include <optional>

#include "platform/env.h"

namespace platform::regedit {

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

// Removes prefix (compared case-insensitively) from the front of text.
bool ConsumePrefix(std::string_view* text, std::string_view prefix) {
  if (text->size() < prefix.size() || !SameText(text->substr(0, prefix.size()), prefix)) {
    return false;
  }
  text->remove_prefix(prefix.size());
  return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = Lower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// One to eight hex digits and nothing else.
std::optional<std::uint32_t> HexNumber(std::string_view text) {
  if (text.empty() || text.size() > 8) return std::nullopt;
  std::uint32_t number = 0;
  for (char c : text) {
    const int digit = HexDigit(c);
    if (digit < 0) return std::nullopt;
    number = number * 16 + static_cast<std::uint32_t>(digit);
  }
  return number;
}

std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(TrimBlanks(line));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

// Reads the quoted text at the start of s; *rest is what follows the closing
// quote. False when s does not start with a quote or the quote is not closed.
bool ReadQuoted(std::string_view s, std::string* text, std::string_view* rest) {
  if (s.empty() || s[0] != '"') return false;
  text->clear();
  for (std::size_t i = 1; i < s.size(); ++i) {
    if (s[i] == '"') {
      *rest = s.substr(i + 1);
      return true;
    }
    if (s[i] == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) ++i;
    text->push_back(s[i]);
  }
  return false;
}

// Comma-separated two-digit hex bytes; an empty list is no bytes.
std::optional<std::vector<unsigned char>> ByteList(std::string_view list) {
  std::vector<unsigned char> bytes;
  list = TrimBlanks(list);
  if (list.empty()) return bytes;
  while (true) {
    const std::size_t comma = list.find(',');
    const std::string_view token = TrimBlanks(list.substr(0, comma));
    if (token.size() != 2) return std::nullopt;
    const std::optional<std::uint32_t> byte = HexNumber(token);
    if (!byte) return std::nullopt;
    bytes.push_back(static_cast<unsigned char>(*byte));
    if (comma == std::string_view::npos) return bytes;
    list.remove_prefix(comma + 1);
  }
}

bool IsListLine(std::string_view line) {
  for (char c : line) {
    if (HexDigit(c) < 0 && c != ',' && c != '\\' && !IsBlank(c)) return false;
  }
  return !line.empty();
}

// The section line's path, or nothing when the line cannot be read.
std::optional<std::string_view> SectionPath(std::string_view line) {
  const std::size_t close = line.rfind(']');
  if (close == std::string_view::npos || close < 2 ||
      !TrimBlanks(line.substr(close + 1)).empty()) {
    return std::nullopt;
  }
  return line.substr(1, close - 1);
}

// The data of a value line after "=", starting at lines[*index]; advances
// *index past the continuation lines it used.
std::optional<Value> ReadData(std::string_view data,
                              const std::vector<std::string_view>& lines,
                              std::size_t* index) {
  Value value;
  std::string_view rest;
  std::string text;
  if (ReadQuoted(data, &text, &rest)) {
    if (!TrimBlanks(rest).empty()) return std::nullopt;
    value.type = kRegSz;
    value.data.assign(text.begin(), text.end());
    value.data.push_back(0);
    return value;
  }
  if (ConsumePrefix(&data, "dword:")) {
    const std::optional<std::uint32_t> number = HexNumber(data);
    if (!number) return std::nullopt;
    value.type = kRegDword;
    for (int shift = 0; shift < 32; shift += 8) {
      value.data.push_back(static_cast<unsigned char>(*number >> shift));
    }
    return value;
  }
  if (ConsumePrefix(&data, "hex:")) {
    value.type = kRegBinary;
  } else if (ConsumePrefix(&data, "hex(")) {
    const std::size_t close = data.find("):");
    const std::optional<std::uint32_t> type =
        close == std::string_view::npos ? std::nullopt : HexNumber(data.substr(0, close));
    if (!type) return std::nullopt;
    value.type = *type;
    data.remove_prefix(close + 2);
  } else {
    return std::nullopt;
  }
  std::string list;
  while (true) {
    data = TrimBlanks(data);
    if (data.empty() || data.back() != '\\') {
      list.append(data);
      break;
    }
    list.append(data.substr(0, data.size() - 1));
    if (*index + 1 >= lines.size() || !IsListLine(lines[*index + 1])) return std::nullopt;
    data = lines[++*index];
  }
  std::optional<std::vector<unsigned char>> bytes = ByteList(list);
  if (!bytes) return std::nullopt;
  value.data = std::move(*bytes);
  return value;
}

// Index of the key with this path, added when new.
std::size_t KeyIndex(Document* document, std::string_view path) {
  for (std::size_t i = 0; i < document->keys.size(); ++i) {
    if (SameText(document->keys[i].path, path)) return i;
  }
  document->keys.push_back(Key{std::string(path), {}});
  return document->keys.size() - 1;
}

void AppendQuoted(std::string* out, std::string_view text) {
  out->push_back('"');
  for (char c : text) {
    if (c == '\\' || c == '"') out->push_back('\\');
    out->push_back(c);
  }
  out->push_back('"');
}

// A REG_SZ that "text" holds exactly: text bytes without control characters
// and one terminating NUL.
bool IsPlainText(const Value& value) {
  if (value.type != kRegSz || value.data.empty() || value.data.back() != 0) return false;
  for (std::size_t i = 0; i + 1 < value.data.size(); ++i) {
    if (value.data[i] < 0x20 || value.data[i] == 0x7F) return false;
  }
  return true;
}

void AppendData(std::string* out, const Value& value) {
  char buffer[24];
  if (IsPlainText(value)) {
    AppendQuoted(out, std::string_view(reinterpret_cast<const char*>(value.data.data()),
                                       value.data.size() - 1));
    return;
  }
  if (value.type == kRegDword && value.data.size() == 4) {
    const std::uint32_t number = value.data[0] | value.data[1] << 8 |
                                 value.data[2] << 16 |
                                 static_cast<std::uint32_t>(value.data[3]) << 24;
    std::snprintf(buffer, sizeof buffer, "dword:%08x", number);
    out->append(buffer);
    return;
  }
  if (value.type == kRegBinary) {
    out->append("hex:");
  } else {
    std::snprintf(buffer, sizeof buffer, "hex(%x):", value.type);
    out->append(buffer);
  }
  for (std::size_t i = 0; i < value.data.size(); ++i) {
    std::snprintf(buffer, sizeof buffer, i == 0 ? "%02x" : ",%02x", value.data[i]);
    out->append(buffer);
  }
}

}  // namespace

Value* Key::FindValue(std::string_view name) {
  for (Value& value : values) {
    if (SameText(value.name, name)) return &value;
  }
  return nullptr;
}

const Value* Key::FindValue(std::string_view name) const {
  return const_cast<Key*>(this)->FindValue(name);
}

Key* Document::FindKey(std::string_view path) {
  for (Key& key : keys) {
    if (SameText(key.path, path)) return &key;
  }
  return nullptr;
}

const Key* Document::FindKey(std::string_view path) const {
  return const_cast<Document*>(this)->FindKey(path);
}

bool Document::KeyExists(std::string_view path) const {
  for (const Key& key : keys) {
    const std::string_view p = key.path;
    if (SameText(p.substr(0, path.size()), path) &&
        (p.size() == path.size() || p[path.size()] == '\\')) {
      return true;
    }
  }
  return false;
}

Document Parse(std::string_view text) {
  Document document;
  const std::vector<std::string_view> lines = SplitLines(text);
  std::optional<std::size_t> current;  // the open section's key
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string_view line = lines[i];
    if (line.empty() || line[0] == ';' || line == "REGEDIT4") continue;
    if (line[0] == '[') {
      const std::optional<std::string_view> path = SectionPath(line);
      current = path ? std::optional(KeyIndex(&document, *path)) : std::nullopt;
      continue;
    }
    if (!current) continue;
    std::string name;
    std::string_view rest;
    if (line[0] == '@') {
      rest = line.substr(1);
    } else if (!ReadQuoted(line, &name, &rest)) {
      continue;
    }
    rest = TrimBlanks(rest);
    if (rest.empty() || rest[0] != '=') continue;
    std::optional<Value> value = ReadData(TrimBlanks(rest.substr(1)), lines, &i);
    if (!value) continue;
    value->name = std::move(name);
    Key& key = document.keys[*current];
    if (Value* existing = key.FindValue(value->name)) {
      *existing = std::move(*value);
    } else {
      key.values.push_back(std::move(*value));
    }
  }
  return document;
}

std::string Serialize(const Document& document) {
  std::string out = "REGEDIT4\n\n";
  for (const Key& key : document.keys) {
    out.append("[").append(key.path).append("]\n");
    for (const Value& value : key.values) {
      if (value.name.empty()) {
        out.push_back('@');
      } else {
        AppendQuoted(&out, value.name);
      }
      out.push_back('=');
      AppendData(&out, value);
      out.push_back('\n');
    }
    out.push_back('\n');
  }
  return out;
}

}  // namespace platform::regedit
