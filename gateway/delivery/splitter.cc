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
// Each message is written here first and renamed into "in" only when whole,
// so that "in" never holds a truncated spool file. Beside "popout.txt", on
// the same file system as "in".
constexpr char kWorkFile[] = "\\split.tmp";

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
  const std::string work = root + kWorkFile;

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

  // UidTable: one entry per message, however many the download brought.
  std::vector<std::string> UidTable;
  for (int i = 0; i < count; ++i) {
    popout.ReadLine(&line, kLinePiece);
    UidTable.push_back(line);
  }
  // The "." that ends the listing and the status line of the first RETR.
  popout.ReadLine(&line, kLinePiece);
  popout.ReadLine(&line, kLinePiece);

  WrittenNames written;
  for (const std::string& listing_line : UidTable) {
    const std::string key = TerminatorKey(listing_line);
    const std::string name = SpoolFileName(key);
    const std::string path = in + "\\" + name;
    // A message that gets no file is read and dropped; it stays at the
    // provider and comes with the next download.
    const platform::FileHandle file =
        written.Taken(name, path) ? platform::kInvalidFile : CreateOutputFile(work);

    bool whole = false;
    while (popout.ReadLine(&line, kLinePiece)) {
      if (line.starts_with("+OK") && ReplaceUidCharacters(line) == key) {
        popout.ReadLine(&line, kLinePiece);  // the next message's RETR status line
        whole = true;
        break;
      }
      if (line.starts_with("Return-Receipt-To:") || file == platform::kInvalidFile) continue;
      WriteAll(file, line.data(), static_cast<std::uint32_t>(line.size()));
      WriteAll(file, "\n", 1);
    }

    if (file != platform::kInvalidFile) {
      if (whole) env.FlushFile(file);
      env.CloseFile(file);
      if (whole && env.MoveReplace(work, path)) {
        written.Add(name);
      } else {
        env.RemoveFile(work);
      }
    }
    // The download ended inside this message: nothing after it is split.
    if (!whole) break;
  }
  // The renames into "in" are durable before the deletion can act on them.
  if (!written.empty()) env.FlushDirectory(in);
}
