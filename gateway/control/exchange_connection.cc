#include "gateway/control/exchange_connection.h"

#include "gateway/control/run_state.h"
#include "gateway/control/settings.h"

namespace {
constexpr std::uint16_t kSmtpPort = 25;
constexpr int kSocketBufferBytes = 2048;
}  // namespace

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
