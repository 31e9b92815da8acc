#include "platform/text_file.h"

#include <algorithm>
#include <cstring>

namespace platform {

namespace {
constexpr unsigned char kCtrlZ = 0x1A;
}  // namespace

bool TextFile::Open(const std::string& path) {
  Close();
  file_ = env_.OpenForRead(path);
  at_end_ = false;
  return file_ != kInvalidFile;
}

// Also drops what was buffered, so that nothing is read after closing.
void TextFile::Close() {
  if (file_ != kInvalidFile) {
    env_.CloseFile(file_);
    file_ = kInvalidFile;
  }
  begin_ = end_ = 0;
  pushed_back_ = kEnd;
  line_continues_ = false;
}

bool TextFile::Fill() {
  if (at_end_ || file_ == kInvalidFile) return false;
  long got = env_.ReadSome(file_, buffer_, sizeof buffer_);
  if (got <= 0) {
    at_end_ = true;
    return false;
  }
  begin_ = 0;
  end_ = static_cast<std::size_t>(got);
  return true;
}

// The next raw byte without consuming it, or kEnd.
int TextFile::Peek() {
  if (begin_ == end_ && !Fill()) return kEnd;
  unsigned char c = static_cast<unsigned char>(buffer_[begin_]);
  if (c == kCtrlZ) {
    at_end_ = true;
    begin_ = end_;
    return kEnd;
  }
  return c;
}

// The next character after CR LF translation, or kEnd.
int TextFile::Get() {
  if (pushed_back_ != kEnd) {
    int c = pushed_back_;
    pushed_back_ = kEnd;
    return c;
  }
  int c = Peek();
  if (c == kEnd) return kEnd;
  ++begin_;
  if (c == '\r' && Peek() == '\n') {
    ++begin_;
    return '\n';
  }
  return c;
}

// How many buffered bytes from the current one on, at most max, need no
// translation: up to the first CR or Ctrl-Z, and the first LF too unless
// lf_is_plain; none while a character is pushed back. Such runs are copied
// whole; CR, LF and Ctrl-Z go through Get(), which knows their meaning.
std::size_t TextFile::PlainRun(std::size_t max, bool lf_is_plain) const {
  if (pushed_back_ != kEnd) return 0;
  const std::size_t limit = std::min(end_, begin_ + max);
  std::size_t stop = begin_;
  for (; stop < limit; ++stop) {
    const char c = buffer_[stop];
    if (c == '\r' || static_cast<unsigned char>(c) == kCtrlZ || (c == '\n' && !lf_is_plain)) break;
  }
  return stop - begin_;
}

bool TextFile::ReadLine(std::string* line, std::size_t max_chars) {
  line->clear();
  line_continues_ = false;
  while (line->size() < max_chars) {
    const std::size_t run = PlainRun(max_chars - line->size(), false);
    line->append(buffer_ + begin_, run);
    begin_ += run;
    if (line->size() == max_chars) break;
    int c = Get();
    if (c == kEnd) return !line->empty();
    if (c == '\n') return true;
    line->push_back(static_cast<char>(c));
  }
  // A full piece: the LF that ends the line belongs to this read.
  int next = Get();
  if (next != '\n') pushed_back_ = next;
  line_continues_ = next != '\n' && next != kEnd;
  return true;
}

std::size_t TextFile::Read(char* buffer, std::size_t count) {
  std::size_t n = 0;
  while (n < count) {
    const std::size_t run = PlainRun(count - n, true);
    std::memcpy(buffer + n, buffer_ + begin_, run);
    n += run;
    begin_ += run;
    if (n == count) break;
    int c = Get();
    if (c == kEnd) break;
    buffer[n++] = static_cast<char>(c);
  }
  return n;
}

}  // namespace platform
