// The REGEDIT4 text form of registry keys, as the POSIX backend stores the
// machine's registry. Portable: parsing and writing only, no file access.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform::regedit {

struct Value {
  std::string name;  // as written, "" for the key's default value ("@")
  std::uint32_t type = 0;
  std::vector<unsigned char> data;
};

struct Key {
  std::string path;  // "HKEY_LOCAL_MACHINE\\SOFTWARE\\..." as written
  std::vector<Value> values;

  // Case-insensitive look-ups; nullptr when absent.
  Value* FindValue(std::string_view name);
  const Value* FindValue(std::string_view name) const;
};

struct Document {
  std::vector<Key> keys;  // in file order, each path once

  // Case-insensitive look-ups; nullptr when absent.
  Key* FindKey(std::string_view path);
  const Key* FindKey(std::string_view path) const;
  // True when the key's section, or a section below it, is present.
  bool KeyExists(std::string_view path) const;
};

// Reads a file's text. Never fails: what cannot be understood is skipped by
// the rules stated in regedit_file.cc.
Document Parse(std::string_view text);
// Writes the canonical form: "REGEDIT4", a blank line, then each key as its
// section line, its values and a blank line; LF line ends.
std::string Serialize(const Document& document);

}  // namespace platform::regedit
