#include <cstring>
#include <optional>
#include <string>

#include "gateway/control/event_log.h"
#include "gateway/control/output_file.h"
#include "gateway/control/run_state.h"
#include "gateway/control/settings.h"
#include "gateway/control/text.h"
#include "gateway/pop3/conversation.h"
#include "gateway/pop3/pop3.h"
#include "platform/env.h"

namespace {
constexpr char kTag[] = " - GetPop - ";
// The pause before logging in again when the recovery pass of this run has
// logged in already.
constexpr std::uint32_t kSecondLoginPauseMs = 90000;

// Checks one send of a command: 0 when it went out, otherwise -1 once reported.
int Sent(int result, const char* send_error) {
  if (result == platform::kSocketError) return LogFailure(kTag, send_error, -1);
  if (result == 0) return LogFailure(kTag, "Socket closed by remote", -1);
  return 0;
}

// The raw download file, and the first write to it that failed: nothing is
// written after that, and the download ends as a failed one.
class Popout {
 public:
  explicit Popout(platform::FileHandle file) : file_(file) {}
  void Write(const char* bytes, int length) {
    if (failed_) return;
    if (!WriteAll(file_, bytes, static_cast<std::uint32_t>(length))) {
      failed_ = true;
      error_ = platform::env().LastError();
    }
  }
  bool failed() const { return failed_; }
  // Reports the failed write with its own error code and closes the session
  // without QUIT, so that the provider keeps every message; -1.
  int Fail() const {
    platform::env().SetLastErrorCode(error_);
    return Abandon("Write failed - popout.txt");
  }
  // Reports message and closes the session without QUIT; -1.
  static int Abandon(const char* message) {
    LogFailure(kTag, message, -1);
    platform::env().CloseSocket(PopSocket);
    return -1;
  }

 private:
  platform::FileHandle file_;
  bool failed_ = false;
  std::uint32_t error_ = 0;
};

// Receives one multi-line reply into popout. Nothing when it is complete,
// otherwise the download's result once the failure is reported: count after
// a broken receive (what was stored gets split), -1 for a negative reply or
// a failed write.
std::optional<int> StoreMultiLine(Popout& popout, char* buffer, int count,
                                  const char* receive_error, const char* protocol_error) {
  const MultiLineResult result = ReadMultiLine(
      buffer, [&popout](const char* chunk, int length) { popout.Write(chunk, length); });
  if (popout.failed()) return popout.Fail();
  switch (result) {
    case MultiLineResult::kComplete:
      return std::nullopt;
    case MultiLineResult::kReceiveError:
      return LogFailure(kTag, receive_error, count);
    case MultiLineResult::kClosed:
      return LogFailure(kTag, "Socket closed by remote", count);
    case MultiLineResult::kProtocolError:
      break;
  }
  return LogFailure(kTag, protocol_error, -1);
}

// Steps after a STAT count of 1 or more: the listing, then each message and
// its UIDL reply, streamed into popout.
int Download(Popout& popout, int count) {
  char line_buffer[kPopBufferSize];
  char chunk_buffer[kPopBufferSize];
  std::memset(line_buffer, 0, sizeof line_buffer);
  std::memset(chunk_buffer, 0, sizeof chunk_buffer);

  if (Sent(SendCommand("UIDL"), "Send failed - Initial UIDL") != 0) return -1;
  if (std::optional<int> stopped = StoreMultiLine(
          popout, chunk_buffer, count, "Recv failed - UIDL Loop", "Protocol Error - UIDL listing")) {
    return *stopped;
  }
  for (int i = 1; i <= count; ++i) {
    const std::string number = std::to_string(i);
    if (Sent(SendCommand("RETR " + number), "Send failed - RETR") != 0) return -1;
    if (std::optional<int> stopped =
            StoreMultiLine(popout, chunk_buffer, count, "Recv failed - select loop",
                           "Protocol Error - Message Retrieval - RETR command")) {
      return *stopped;
    }
    if (Sent(SendCommand("UIDL " + number), "Send failed - Trailing Message UIDL") != 0) {
      return -1;
    }
    const int got = ReceiveReply(line_buffer);
    if (got == platform::kSocketError) {
      return LogFailure(kTag, "Recv failed - Trialing Message UIDL", -1);
    }
    if (got == 0) return LogFailure(kTag, "Socket closed by remote", -1);
    // Stored as received, negative replies included; a Ctrl-Z is stored as a
    // blank, as in a message, so that it cannot end the download for the
    // splitter.
    BlankCtrlZ(line_buffer, got);
    popout.Write(line_buffer, got);
    if (popout.failed()) return popout.Fail();
  }
  return count;
}

// The download once both files exist; the session stays open after a result
// of 1 or more.
int Converse(Popout& popout, platform::FileHandle statlog) {
  platform::Env& env = platform::env();
  char buffer[kPopBufferSize];
  SendCommand("STAT");
  const int got = ReceiveReply(buffer);
  if (got == platform::kSocketError || got == 0) {
    // Reported first, while the last error is still the receive's.
    LogFailure(kTag, got == 0 ? "Socket closed by remote" : "Recv failed - ACK of STAT", -1);
    env.CloseFile(statlog);
    return -1;
  }
  const int count = ParseStatCount(CString(buffer, static_cast<std::size_t>(got)));
  const std::string line =
      "There were " + std::to_string(count) + " messages waiting this session";
  WriteAll(statlog, line.data(), static_cast<std::uint32_t>(line.size()));
  WriteAll(statlog, "\n", 1);
  env.CloseFile(statlog);

  // No count is below zero: any negative one is a failed STAT, like -1.
  if (count < 0) return LogFailure(kTag, "Error in Message Count", -1);
  if (count == 0) {
    EndSession(kTag);
    return count;
  }
  return Download(popout, count);
}
}  // namespace

int ParseStatCount(const std::string& reply) {
  if (reply.find("+OK") == std::string::npos) return -1;
  const std::size_t first_space = reply.find(' ');
  const std::string after = first_space == std::string::npos ? reply : reply.substr(first_space + 1);
  const std::size_t next_space = after.find(' ');
  if (next_space == std::string::npos) return 0;
  return DecimalValue(std::string_view(after).substr(0, next_space));
}

int GetPop() {
  platform::Env& env = platform::env();
  if (RecoveryLoginDone) {
    RecoveryLoginDone = 0;
    env.SleepMs(kSecondLoginPauseMs);
  }
  if (PopLogin() == -1) return -1;

  const std::string root = SpoolRoot();
  const platform::FileHandle popout = CreateOutputFile(root + "\\popout.txt");
  // Without the file nothing downloaded could be split: the provider keeps
  // the mailbox, and the statistics of the last download stay as they were.
  if (popout == platform::kInvalidFile) return Popout::Abandon("Unable to create popout.txt");
  const platform::FileHandle statlog = CreateOutputFile(root + "\\statlog.txt");
  Popout writer(popout);
  const int result = Converse(writer, statlog);
  // What a failed close leaves in the file cannot be trusted for splitting.
  if (!env.CloseFile(popout) && result >= 1) return Popout::Abandon("Close failed - popout.txt");
  return result;
}
