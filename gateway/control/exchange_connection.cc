#include "gateway/control/exchange_connection.h"

#include <cstring>

#include "gateway/control/run_state.h"
#include "gateway/control/settings.h"

namespace {
constexpr std::uint16_t kSmtpPort = 25;
constexpr int kSocketBufferBytes = 2048;

constexpr SmtpDialect kClassic = {
    .command_end = "\n",
    .angle_brackets = false,
    .whole_replies = false,
    .crlf_data = false,
    .data_batch = 2048,  // each block of the file in a send of its own
    .keeps_connection = false,
    .messages_per_connection = 1,
};
constexpr SmtpDialect kStandard = {
    .command_end = "\r\n",
    .angle_brackets = true,
    .whole_replies = true,
    .crlf_data = true,
    // A message of up to this size goes out in one send, so that no small
    // segment waits for the acknowledgement of the one before it.
    .data_batch = 65536,
    .keeps_connection = true,
    .messages_per_connection = 10,
};
}  // namespace

const SmtpDialect& CurrentSmtpDialect() {
  return GatewaySettings.smtpmode == SmtpMode::kStandard ? kStandard : kClassic;
}

std::string ConnectToExchange(platform::Socket socket) {
  platform::Env& env = platform::env();
  // Fails only for a socket that every call below refuses as well.
  env.SetSilenceLimit(socket, kSilenceLimitMs);
  if (env.SetBufferSize(socket, platform::SocketBuffer::kReceive, kSocketBufferBytes) ==
      platform::kSocketError) {
    return "setsockopt(SO_RCVBUF)";
  }
  if (env.SetBufferSize(socket, platform::SocketBuffer::kSend, kSocketBufferBytes) ==
      platform::kSocketError) {
    return "setsockopt(SO_SNDBUF)";
  }
  if (env.Connect(socket, GatewaySettings.ExchangeServerAddress, kSmtpPort) ==
      platform::kSocketError) {
    return "Connect failed to Exchange Server";
  }
  return "";
}

int ReceiveReply(platform::Socket socket, const SmtpDialect& dialect, char* buffer, int size) {
  platform::Env& env = platform::env();
  if (!dialect.whole_replies) return env.Receive(socket, buffer, size);
  // A line whose fourth byte is "-" ("250-...") has another after it; any
  // other line ends the reply. Only each line's first four bytes are kept.
  char head[4] = {};
  std::size_t column = 0;
  for (;;) {
    const int got = env.Receive(socket, buffer, size);
    if (got <= 0) return got;
    for (int i = 0; i < got; ++i) {
      if (buffer[i] != '\n') {
        if (column < sizeof head) head[column] = buffer[i];
        ++column;
        continue;
      }
      if (column < sizeof head || head[3] != '-') {
        std::memcpy(buffer, head, 3);
        return got;
      }
      std::memset(head, 0, sizeof head);
      column = 0;
    }
  }
}
