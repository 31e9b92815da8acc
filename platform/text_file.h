// Reading a file as text the way the C library does it on Windows: a CR LF
// pair arrives as LF, a lone CR stays, and a byte 0x1A ends the file. The
// same on every platform, so that the programs read their files alike.
#pragma once

#include <cstddef>
#include <string>

#include "platform/env.h"

namespace platform {

class TextFile {
 public:
  explicit TextFile(Env& env = platform::env()) : env_(env) {}
  ~TextFile() { Close(); }
  TextFile(const TextFile&) = delete;
  TextFile& operator=(const TextFile&) = delete;

  // False (with the last error set) when the file cannot be opened.
  bool Open(const std::string& path);
  bool IsOpen() const { return file_ != kInvalidFile; }
  void Close();

  // Reads one line of at most max_chars characters into *line, without its
  // LF. A longer line comes in pieces of max_chars; the LF that ends a line
  // is consumed by the read that returns the line's last characters, so a
  // line of exactly max_chars characters is one line. False, with *line
  // empty, when the end was reached before any character; from then on
  // every read fails.
  bool ReadLine(std::string* line, std::size_t max_chars);
  // True when the last ReadLine returned a full piece of a line that goes
  // on: the next read brings the line's next characters.
  bool LineContinues() const { return line_continues_; }

  // Reads up to count characters; returns how many (fewer only at the end).
  std::size_t Read(char* buffer, std::size_t count);

 private:
  static constexpr int kEnd = -1;
  int Get();
  int Peek();
  bool Fill();
  std::size_t PlainRun(std::size_t max, bool lf_is_plain) const;

  Env& env_;
  FileHandle file_ = kInvalidFile;
  char buffer_[65536];
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  bool at_end_ = false;
  int pushed_back_ = kEnd;
  bool line_continues_ = false;
};

}  // namespace platform
