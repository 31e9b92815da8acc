#include "platform/text_file.h"

#include <algorithm>
#include <cstring>

namespace platform {

namespace {
constexpr unsigned char kCtrlZ = 0x1A;

// A byte that ends a line, or the file, or may start a CR LF pair.
bool IsSpecial(char c) { return c == '\n' || c == '\r' || static_cast<unsigned char>(c) == kCtrlZ; }
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

// Plain bytes are copied a run at a time; CR, LF, Ctrl-Z and a pushed-back
// character go through Get(), which knows their meaning.
bool TextFile::ReadLine(std::string* line, std::size_t max_chars) {
  line->clear();
  line_continues_ = false;
  while (line->size() < max_chars) {
    if (pushed_back_ == kEnd && begin_ < end_) {
      const std::size_t limit = std::min(end_, begin_ + (max_chars - line->size()));
      std::size_t stop = begin_;
      while (stop < limit && !IsSpecial(buffer_[stop])) ++stop;
      line->append(buffer_ + begin_, stop - begin_);
      begin_ = stop;
      if (stop == limit) continue;
    }
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

// Like ReadLine, plain bytes (LF among them) are copied a run at a time.
std::size_t TextFile::Read(char* buffer, std::size_t count) {
  std::size_t n = 0;
  while (n < count) {
    if (pushed_back_ == kEnd && begin_ < end_) {
      const std::size_t limit = std::min(end_, begin_ + (count - n));
      std::size_t stop = begin_;
      while (stop < limit && buffer_[stop] != '\r' &&
             static_cast<unsigned char>(buffer_[stop]) != kCtrlZ) {
        ++stop;
      }
      std::memcpy(buffer + n, buffer_ + begin_, stop - begin_);
      n += stop - begin_;
      begin_ = stop;
      if (stop == limit) continue;
    }
    int c = Get();
    if (c == kEnd) break;
    buffer[n++] = static_cast<char>(c);
  }
  return n;
}

}  // namespace platform
