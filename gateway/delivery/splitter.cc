#include <algorithm>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "gateway/control/event_log.h"
#include "gateway/control/output_file.h"
#include "gateway/control/settings.h"
#include "gateway/control/spool_names.h"
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

// Writes a spool file's lines through one buffer, a block at a time. After
// the first failed write it writes nothing more: the file is not whole.
class LineWriter {
 public:
  explicit LineWriter(platform::FileHandle file) : file_(file) {
    buffer_.reserve(kWriteBlock + kLinePiece + 2);
  }
  void Line(const std::string& line) {
    buffer_ += line;
    buffer_ += '\n';
    if (buffer_.size() >= kWriteBlock) Flush();
  }
  // Writes what is buffered; false once any write failed.
  bool Flush() {
    if (!failed_ && !buffer_.empty() &&
        !WriteAll(file_, buffer_.data(), static_cast<std::uint32_t>(buffer_.size()))) {
      failed_ = true;
      error_ = platform::env().LastError();
    }
    buffer_.clear();
    return !failed_;
  }
  // The last error of the failed write.
  std::uint32_t error() const { return error_; }

 private:
  platform::FileHandle file_;
  std::string buffer_;
  bool failed_ = false;
  std::uint32_t error_ = 0;
};

// One error entry of the splitter with the given last error.
void LogFileFailure(const std::string& message, std::uint32_t error) {
  platform::env().SetLastErrorCode(error);
  LogEvent(std::string(kTag) + message, platform::kEventlogErrorType);
}

// Passes over the rest of a line whose first piece was read.
void SkipRestOfLine(platform::TextFile& file) {
  std::string piece;
  while (file.LineContinues() && file.ReadLine(&piece, kLinePiece)) {
  }
}

// Reads a line's first piece and passes over the rest of it; *longer tells
// whether there was a rest. False at the end of the file.
bool ReadWholeLine(platform::TextFile& file, std::string* line, bool* longer = nullptr) {
  if (!file.ReadLine(line, kLinePiece)) return false;
  if (longer) *longer = file.LineContinues();
  SkipRestOfLine(file);
  return true;
}

struct ListingEntry {
  std::string line;     // its first piece
  bool longer = false;  // the line went on beyond that piece
};

// The listing's entries, read from "popout.txt" by a reader of their own
// beside the messages, so that none is held in memory however many the
// listing or the count claims.
class Listing {
 public:
  explicit Listing(const std::string& path) {
    file_.Open(path);
    std::string status;
    ended_ = !ReadWholeLine(file_, &status);
  }
  // False at the listing's "." line, and at the end of the file.
  bool Next(ListingEntry* entry) {
    if (!ended_) ended_ = !ReadWholeLine(file_, &entry->line, &entry->longer) || entry->line == ".";
    return !ended_;
  }

 private:
  platform::TextFile file_;
  bool ended_ = false;
};

// A listing line "n uid" whose uid is one the spool can carry: 1 to 70
// characters from 0x21 to 0x7E, as the POP3 standard has it, and none that
// begins with ".", whose spool file the delivery run would pass over.
bool UsableListingLine(const std::string& listing_line) {
  const std::string line = TrimRight(listing_line);
  const std::size_t blank = line.find(' ');
  if (blank == std::string::npos) return false;
  const std::string_view uid = std::string_view(line).substr(blank + 1);
  if (uid.empty() || uid.size() > 70 || uid.front() == '.') return false;
  return std::all_of(uid.begin(), uid.end(), [](char c) {
    return static_cast<unsigned char>(c) >= 0x21 && static_cast<unsigned char>(c) <= 0x7E;
  });
}

// Copies one message's lines from its first one up to and including the
// "." line that ends its RETR reply. Only a whole line "." ends it: the
// server stuffs every line of the message that begins with ".", and a piece
// of a long line is data, whatever it holds. False when the file ended first.
// Nothing is written without a writer.
bool CopyMessage(platform::TextFile& popout, LineWriter* writer) {
  std::string line;
  bool header = true;     // before the message's first empty line
  bool dropping = false;  // the line being read is a dropped field's
  for (bool continued = popout.LineContinues(); popout.ReadLine(&line, kLinePiece);
       continued = popout.LineContinues()) {
    const bool end = !continued && line == ".";
    if (continued) {
      if (dropping) continue;
      if (header) {
        // In the header a piece goes on the field as a folded line of it,
        // which no mail server takes for the end of the header.
        line.insert(0, 1, '\t');
      } else if (line.starts_with('.')) {
        // In the body its leading "." is stuffed like a line's, so that the
        // mail server neither ends the data there nor drops the dot.
        line.insert(0, 1, '.');
      }
    } else if (line.starts_with("Return-Receipt-To:")) {
      dropping = true;
      continue;
    } else if (line.empty()) {
      header = false;
    }
    dropping = false;
    if (writer != nullptr) writer->Line(line);
    if (end) return true;
  }
  return false;
}

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

 private:
  std::unordered_set<std::string> exact_;
  std::unordered_set<std::string> folded_;
};
}  // namespace

void ParseMsgs(int count) {
  platform::Env& env = platform::env();
  const std::string root = SpoolRoot();
  const std::string in = root + "\\in";
  const std::string popout_path = root + "\\popout.txt";

  // A file that cannot be opened reads as an empty one.
  platform::TextFile popout;
  popout.Open(popout_path);
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

  // The messages follow the listing, up to its "." line, and the status
  // line of the first RETR.
  SkipRestOfLine(popout);
  while (ReadWholeLine(popout, &line) && line != ".") {
  }
  ReadWholeLine(popout, &line);

  // At most as many messages as the download reported and the listing
  // names, the listing's first entries.
  Listing listing(popout_path);
  std::vector<SplitMessage> split;
  ListingEntry entry;
  for (int i = 0; i < count && listing.Next(&entry); ++i) {
    const std::string number = std::to_string(i + 1);
    const std::string key = TerminatorKey(entry.line);
    // A message without a usable identifier is passed over: it stays at the
    // provider, where the deletion leaves every message without a file.
    const bool usable = !entry.longer && UsableListingLine(entry.line);
    if (!usable) {
      LogEvent(std::string(kTag) + "Unusable UIDL - message " + number,
               platform::kEventlogErrorType);
    }
    const std::string name = SpoolFileName(key);
    const std::string work = root + kWorkPrefix + std::to_string(split.size()) + kWorkSuffix;
    // A message whose spool file cannot be made or written whole stays at
    // the provider, and so do the ones after it: the split stops there, on
    // a disk that is full or failing, and the next download brings them.
    const platform::FileHandle file =
        usable ? CreateOutputFile(work) : platform::kInvalidFile;
    if (usable && file == platform::kInvalidFile) {
      LogFileFailure("Unable to create spool file - " + name, env.LastError());
      break;
    }
    LineWriter writer(file);
    const bool ended = CopyMessage(popout, usable ? &writer : nullptr);

    // The line after the message's "." is the reply to "UIDL n": only a
    // reply that is exactly the message's key gives it a spool file.
    bool longer = false;
    const bool replied = ended && ReadWholeLine(popout, &line, &longer);
    const bool whole = replied && !longer && ReplaceUidCharacters(line) == key;
    if (replied) ReadWholeLine(popout, &line);  // the next message's RETR status line
    if (usable && replied && !whole) {
      LogEvent(std::string(kTag) + "UIDL reply does not match - message " + number,
               platform::kEventlogErrorType);
    }

    if (usable) {
      const bool written = writer.Flush();
      const bool closed = env.CloseFile(file);
      const std::uint32_t error = written ? env.LastError() : writer.error();
      if (!written || !closed) {
        env.RemoveFile(work);
        LogFileFailure((written ? "Close failed - spool file " : "Write failed - spool file ") + name,
                       error);
        break;
      }
      if (whole) {
        split.push_back({work, name});
      } else {
        env.RemoveFile(work);
      }
    }
    // The download ended inside this message: nothing after it is split.
    if (!replied) break;
  }
  if (split.empty()) return;

  // Every message's data is durable before any of them appears in "in";
  // when it cannot be made so, none of them goes there.
  std::vector<std::string> works;
  for (const SplitMessage& message : split) works.push_back(message.work);
  if (!env.FlushWrittenFiles(works)) {
    LogEvent(std::string(kTag) + "Flush failed - spool files", platform::kEventlogErrorType);
    for (const std::string& work : works) env.RemoveFile(work);
    return;
  }

  WrittenNames written;
  std::vector<std::string> placed;
  for (const SplitMessage& message : split) {
    const std::string path = in + "\\" + message.name;
    if (!written.Taken(message.name, path) && env.MoveReplace(message.work, path)) {
      written.Add(message.name);
      placed.push_back(path);
    } else {
      env.RemoveFile(message.work);
    }
  }
  // The renames into "in" are durable before the deletion can act on them.
  // Names that may not survive a crash must not have their messages
  // deleted: they are taken out of "in" again, and their messages stay at
  // the provider.
  if (!placed.empty() && !env.FlushDirectory(in)) {
    LogEvent(std::string(kTag) + "Flush failed - in", platform::kEventlogErrorType);
    for (const std::string& path : placed) env.RemoveFile(path);
  }
}
