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

// Receives one multi-line reply into popout. Nothing when it is complete,
// otherwise the download's result once the failure is reported: count after
// a broken receive (what was stored gets split), -1 for a negative reply.
std::optional<int> StoreMultiLine(platform::FileHandle popout, char* buffer, int count,
                                  const char* receive_error, const char* protocol_error) {
  switch (ReadMultiLine(buffer, [popout](const char* chunk, int length) {
    WriteAll(popout, chunk, static_cast<std::uint32_t>(length));
  })) {
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
int Download(platform::FileHandle popout, int count) {
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
    WriteAll(popout, line_buffer, static_cast<std::uint32_t>(got));
  }
  return count;
}

// The download once both files exist; the session stays open after a result
// of 1 or more.
int Converse(platform::FileHandle popout, platform::FileHandle statlog) {
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
  const platform::FileHandle statlog = CreateOutputFile(root + "\\statlog.txt");
  const int result = Converse(popout, statlog);
  env.CloseFile(popout);
  return result;
}
