#include "gateway/delivery/splitter.h"

#include <string>
#include <unordered_set>
#include <vector>

#include "gateway/control/event_log.h"
#include "gateway/control/output_file.h"
#include "gateway/control/settings.h"
#include "gateway/control/text.h"
#include "gateway/delivery/delivery.h"
#include "platform/env.h"
#include "platform/text_file.h"

namespace {
constexpr char kTag[] = " - ParseMsgs - ";
// Longer lines are read, and written, in pieces of this many characters.
constexpr std::size_t kLinePiece = 999;
// Each message is written to a work file of its own beside "popout.txt", on
// the same file system as "in"; once every message is written, one flush
// makes all of them durable, and only then are they renamed into "in". So
// "in" never holds a truncated spool file, and a run killed before the
// renames leaves only work files, which the next split removes.
constexpr char kWorkPrefix[] = "\\split";
constexpr char kWorkSuffix[] = ".tmp";
// A message's lines are written in blocks of about this size.
constexpr std::size_t kWriteBlock = 65536;

// Writes a spool file's lines through one buffer, a block at a time.
class LineWriter {
 public:
  explicit LineWriter(platform::FileHandle file) : file_(file) {
    buffer_.reserve(kWriteBlock + kLinePiece + 2);
  }
  ~LineWriter() { Flush(); }
  void Line(const std::string& line) {
    buffer_ += line;
    buffer_ += '\n';
    if (buffer_.size() >= kWriteBlock) Flush();
  }
  // Failed writes are ignored, like every write of the splitter.
  void Flush() {
    if (!buffer_.empty()) WriteAll(file_, buffer_.data(), static_cast<std::uint32_t>(buffer_.size()));
    buffer_.clear();
  }

 private:
  platform::FileHandle file_;
  std::string buffer_;
};

// Removes the work files that a killed run left behind.
void RemoveStaleWorkFiles(const std::string& root) {
  platform::Env& env = platform::env();
  std::vector<std::string> names;
  if (!env.ListDirectory(root + kWorkPrefix + "*" + kWorkSuffix, &names)) return;
  for (const std::string& name : names) env.RemoveFile(root + "\\" + name);
}

// A message written whole to its work file, waiting for its rename.
struct SplitMessage {
  std::string work;
  std::string name;
};

// The spool file names written by this split. A later message whose name the
// file system takes for one of them would replace that file, and the
// deletion would then delete the earlier message with its content lost.
class WrittenNames {
 public:
  // Equal to a written name, or equal but for case to one whose file the
  // target path reaches (a file system that ignores case).
  bool Taken(const std::string& name, const std::string& path) const {
    if (exact_.count(name)) return true;
    if (!folded_.count(UpperCase(name))) return false;
    platform::Env& env = platform::env();
    const platform::FileHandle file = env.OpenForRead(path);
    if (file == platform::kInvalidFile) return false;
    env.CloseFile(file);
    return true;
  }
  void Add(const std::string& name) {
    exact_.insert(name);
    folded_.insert(UpperCase(name));
  }
  bool empty() const { return exact_.empty(); }

 private:
  std::unordered_set<std::string> exact_;
  std::unordered_set<std::string> folded_;
};
}  // namespace

std::string ReplaceUidCharacters(std::string text) {
  for (char& c : text) {
    if (UidCharacterSet.find(c) != std::string_view::npos) c = '_';
  }
  return text;
}

std::string TerminatorKey(const std::string& listing_line) {
  return Trim(ReplaceUidCharacters("+OK " + listing_line));
}

std::string SpoolFileName(const std::string& terminator_key) {
  const std::size_t blank = terminator_key.rfind(' ');
  return Trim(blank == std::string::npos ? terminator_key : terminator_key.substr(blank + 1));
}

void ParseMsgs(int count) {
  platform::Env& env = platform::env();
  const std::string root = SpoolRoot();
  const std::string in = root + "\\in";

  // A file that cannot be opened reads as an empty one.
  platform::TextFile popout;
  popout.Open(root + "\\popout.txt");
  std::string line;
  popout.ReadLine(&line, kLinePiece);
  if (line.find("+OK") == std::string::npos) {
    LogEvent(std::string(kTag) + (line.find("ERR") != std::string::npos
                                      ? "Your ISP does not support the UIDL command"
                                      : "Bad popout.txt file"),
             platform::kEventlogErrorType);
    return;
  }
  RemoveStaleWorkFiles(root);

  // UidTable: one entry per message, however many the download brought.
  std::vector<std::string> UidTable;
  for (int i = 0; i < count; ++i) {
    popout.ReadLine(&line, kLinePiece);
    UidTable.push_back(line);
  }
  // The "." that ends the listing and the status line of the first RETR.
  popout.ReadLine(&line, kLinePiece);
  popout.ReadLine(&line, kLinePiece);

  std::vector<SplitMessage> split;
  for (const std::string& listing_line : UidTable) {
    const std::string key = TerminatorKey(listing_line);
    const std::string work = root + kWorkPrefix + std::to_string(split.size()) + kWorkSuffix;
    // A message whose work file cannot be made is read and dropped; it stays
    // at the provider and comes with the next download.
    const platform::FileHandle file = CreateOutputFile(work);

    bool whole = false;
    {
      LineWriter writer(file);
      bool dropping = false;  // the line being read is a dropped field's
      for (bool continued = popout.LineContinues(); popout.ReadLine(&line, kLinePiece);
           continued = popout.LineContinues()) {
        if (continued) {
          if (dropping) continue;
          // A piece that goes on a long line is data, whatever it begins
          // with. Its leading "." is stuffed like a line's, so that the mail
          // server neither ends the data there nor drops the dot.
          if (line.starts_with('.')) line.insert(0, 1, '.');
        } else if (line.starts_with("+OK") && ReplaceUidCharacters(line) == key) {
          popout.ReadLine(&line, kLinePiece);  // the next message's RETR status line
          whole = true;
          break;
        } else if (line.starts_with("Return-Receipt-To:")) {
          dropping = true;
          continue;
        }
        dropping = false;
        if (file != platform::kInvalidFile) writer.Line(line);
      }
    }

    if (file != platform::kInvalidFile) {
      env.CloseFile(file);
      if (whole) {
        split.push_back({work, SpoolFileName(key)});
      } else {
        env.RemoveFile(work);
      }
    }
    // The download ended inside this message: nothing after it is split.
    if (!whole) break;
  }
  if (split.empty()) return;

  // Every message's data is durable before any of them appears in "in".
  std::vector<std::string> works;
  for (const SplitMessage& message : split) works.push_back(message.work);
  env.FlushWrittenFiles(works);

  WrittenNames written;
  for (const SplitMessage& message : split) {
    const std::string path = in + "\\" + message.name;
    if (!written.Taken(message.name, path) && env.MoveReplace(message.work, path)) {
      written.Add(message.name);
    } else {
      env.RemoveFile(message.work);
    }
  }
  // The renames into "in" are durable before the deletion can act on them.
  if (!written.empty()) env.FlushDirectory(in);
}
