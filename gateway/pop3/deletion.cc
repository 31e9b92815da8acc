#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "gateway/control/event_log.h"
#include "gateway/control/run_state.h"
#include "gateway/control/settings.h"
#include "gateway/control/spool_names.h"
#include "gateway/control/text.h"
#include "gateway/pop3/conversation.h"
#include "gateway/pop3/pop3.h"
#include "platform/env.h"

namespace {
constexpr char kTag[] = " - DeleteFromPop - ";
constexpr char kNotDeleted[] = "RECOVERY MODE - del failed - Msg not in pop - delivered anyway";

bool IsSpoolFile(const std::string& name) { return !name.empty() && name[0] != '.'; }

// The message numbers of the listing by identifier: for each line, the text
// after its first blank, trailing white space left out, gives the line's text
// before that blank, white space removed. The first line with an identifier
// is the one that counts.
std::unordered_map<std::string, std::string> MessageNumbers(const std::string& listing) {
  std::unordered_map<std::string, std::string> numbers;
  std::size_t begin = 0;
  while (begin < listing.size()) {
    std::size_t end = listing.find('\n', begin);
    if (end == std::string::npos) end = listing.size();
    // Looked for within the line only, so each byte is looked at once.
    const std::size_t blank = std::string_view(listing).substr(begin, end - begin).find(' ');
    if (blank != std::string_view::npos) {
      const std::size_t space = begin + blank;
      numbers.try_emplace(TrimRight(listing.substr(space + 1, end - space - 1)),
                          Trim(LineBeforePosition(listing, space)));
    }
    begin = end + 1;
  }
  return numbers;
}

// Makes both directories' entries durable before QUIT lets the server
// delete the messages. The files' data is durable already: the splitter
// flushed it before their names appeared in "in". False, once reported,
// when either flush failed.
bool FlushMoves(const std::string& in, const std::string& out) {
  platform::Env& env = platform::env();
  const char* failed = !env.FlushDirectory(out)  ? "Flush failed - out"
                       : !env.FlushDirectory(in) ? "Flush failed - in"
                                                 : nullptr;
  if (failed != nullptr) LogFailure(kTag, failed, -1);
  return failed == nullptr;
}

// Step 7: DELE for every spool file whose identifier is listed. -1 once a
// failure that ends the function is reported, otherwise 0.
int DeleteListed(const std::string& listing, const std::string& in, const std::string& out,
                 bool recovery) {
  platform::Env& env = platform::env();
  std::vector<std::string> names;
  if (!env.ListDirectory(in + "\\*", &names)) {
    LogFailure(kTag, "Unable to get File Handle", -1);
    return 0;
  }
  const std::unordered_map<std::string, std::string> numbers = MessageNumbers(listing);
  char buffer[kPopBufferSize];
  std::memset(buffer, 0, sizeof buffer);
  // The move never replaces a file in "out"; one that cannot be moved stays.
  auto move = [&](const std::string& name) {
    env.MoveNoReplace(in + "\\" + name, out + "\\" + name);
  };
  for (const std::string& name : names) {
    if (!IsSpoolFile(name)) continue;
    const auto number = numbers.find(Trim(name));
    bool accepted = false;
    if (number != numbers.end()) {
      SendCommand("DELE " + number->second);
      const int got = ReceiveReply(buffer);
      if (got == platform::kSocketError) {
        LogFailure(kTag, "Recv failed - ACK DELE", -1);
        env.CloseSocket(PopSocket);
        return -1;
      }
      if (got == 0) return LogFailure(kTag, "Socket closed by remote", -1);
      accepted = IsPositive(buffer, got);
      std::memset(buffer, 0, sizeof buffer);
    }
    if (accepted) {
      move(name);
    } else if (recovery) {
      move(name);
      LogEvent(std::string(kTag) + kNotDeleted, platform::kEventlogErrorType);
    }
  }
  return 0;
}
}  // namespace

std::string LineBeforePosition(const std::string& text, std::size_t position) {
  const std::size_t line_feed = position == 0 ? std::string::npos : text.rfind('\n', position - 1);
  const std::size_t begin = line_feed == std::string::npos ? 0 : line_feed;
  return text.substr(begin, position - begin);
}

int DeleteFromPop() {
  platform::Env& env = platform::env();
  const std::string in = SpoolRoot() + "\\in";
  const std::string out = SpoolRoot() + "\\out";

  std::vector<std::string> names;
  if (!env.ListDirectory(in + "\\*", &names)) {
    LogFailure(kTag, "Unable to get File Handle", -1);
    names.clear();
  }
  bool work = false;
  for (const std::string& name : names) work = work || IsSpoolFile(name);
  if (!work) return 1;

  const bool recovery = CurrentPhase == "RECOVERY";
  if (recovery) {
    RecoveryLoginDone = 1;
    if (PopLogin() == -1) return -1;
  }

  char buffer[kPopBufferSize];
  std::memset(buffer, 0, sizeof buffer);
  const int sent = SendCommand("UIDL");
  if (sent == platform::kSocketError) {
    LogFailure(kTag, "Send failed", -1);
    env.CloseSocket(PopSocket);
    return -1;
  }
  if (sent == 0) return LogFailure(kTag, "Socket closed by remote", -1);

  // The listing is the only thing held in memory: one short line a message.
  std::string listing;
  switch (ReadMultiLine(buffer, [&listing](const char* chunk, int length) {
    listing.append(chunk, static_cast<std::size_t>(length));
  })) {
    case MultiLineResult::kComplete:
      break;
    case MultiLineResult::kReceiveError:
      return LogFailure(kTag, "Recv failed - UIDL Loop", -1);
    case MultiLineResult::kClosed:
      return LogFailure(kTag, "Socket closed by remote", -1);
    case MultiLineResult::kProtocolError:
      return LogFailure(kTag, "Protocol Error - UIDL listing", -1);
  }
  listing = ReplaceUidCharacters(std::move(listing));

  if (DeleteListed(listing, in, out, recovery) == -1) return -1;
  // Moves that may not survive a crash must not let the server delete the
  // messages: the session ends without QUIT, so the provider keeps them all
  // (the files in "out" are delivered, and the next download brings the
  // messages once more).
  if (!FlushMoves(in, out)) {
    env.CloseSocket(PopSocket);
    return -1;
  }
  return EndSession(kTag) == -1 ? -1 : 1;
}
