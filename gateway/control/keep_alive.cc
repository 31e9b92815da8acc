// KeepAlive: holds one SMTP connection to the local mail server open with
// NOOP commands while the download runs.
#include "gateway/control/keep_alive.h"

#include <cstring>
#include <string>
#include <string_view>

#include "gateway/control/event_log.h"
#include "gateway/control/exchange_connection.h"
#include "gateway/control/run_state.h"
#include "gateway/control/settings.h"

namespace {

constexpr char kTag[] = " - KeepAlive - ";
constexpr int kReplyBytes = 2048;
constexpr std::uint32_t KeepAliveInterval = 50000;  // ms between two NOOPs
constexpr char kClosed[] = "Socket closed by remote";

// The connection from connect to QUIT. Returns the message of the first
// failure, or an empty text once QUIT went out.
std::string Converse(platform::Socket socket) {
  platform::Env& env = platform::env();
  if (std::string failure = ConnectToExchange(socket); !failure.empty()) return failure;

  const SmtpDialect& dialect = CurrentSmtpDialect();
  char reply[kReplyBytes] = {};
  std::string failure;
  const auto send = [&](std::string_view bytes) {
    return env.Send(socket, bytes.data(), static_cast<int>(bytes.size()));
  };
  // One reply as the dialect reads it; false, with failure set, on an
  // error or a close.
  const auto receive = [&](const char* on_error) {
    const int got = ReceiveReply(socket, dialect, reply, kReplyBytes);
    if (got == platform::kSocketError) failure = on_error;
    if (got == 0) failure = kClosed;
    return got > 0;
  };
  // Judges the reply by its first three bytes and clears the buffer.
  const auto accepted = [&] {
    const bool ok = std::memcmp(reply, "250", 3) == 0;
    std::memset(reply, 0, sizeof reply);
    return ok;
  };

  // Any greeting is taken, a refusal too, unless the dialect reads whole
  // replies: then only "220" opens the conversation.
  if (!receive("Recv failed - Initial")) return failure;
  if (dialect.whole_replies && std::memcmp(reply, "220", 3) != 0) return "Bad greeting";
  std::memset(reply, 0, sizeof reply);
  send("HELO ZUL\r\n");
  if (!receive("Recv failed - HELO")) return failure;
  if (!accepted()) return "Unable to HELO";

  // The flag is looked at before each NOOP; the pause ends early when the
  // main thread, having cleared it, signals the stop.
  while (KeepAliveActive.load() == 1) {
    send("NOOP\r\n");
    if (!receive("Recv failed - NOOP")) return failure;
    if (!accepted()) return "Unable to NOOP";
    env.WaitForEvent(KeepAliveStop, KeepAliveInterval);
  }
  if (send("QUIT\r\n") == platform::kSocketError) return "Send failed - QUIT";
  // The server's farewell, where it is awaited, changes nothing.
  if (dialect.whole_replies) ReceiveReply(socket, dialect, reply, kReplyBytes);
  return std::string();
}

}  // namespace

void StopKeepAlive() {
  KeepAliveActive = 0;
  platform::env().SignalEvent(KeepAliveStop);
}

int KeepAlive(int parameter) {
  platform::Env& env = platform::env();
  const platform::Socket socket = env.CreateStreamSocket();
  if (socket == platform::kInvalidSocket) {
    LogEvent(std::string(kTag) + "Socket failed", platform::kEventlogErrorType);
    return -1;
  }
  const std::string failure = Converse(socket);
  if (!failure.empty()) LogEvent(kTag + failure, platform::kEventlogErrorType);
  env.CloseSocket(socket);
  return failure.empty() ? parameter : -1;
}
