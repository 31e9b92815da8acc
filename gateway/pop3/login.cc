#include <cstring>

#include "gateway/control/event_log.h"
#include "gateway/control/run_state.h"
#include "gateway/control/settings.h"
#include "gateway/control/text.h"
#include "gateway/pop3/conversation.h"
#include "gateway/pop3/pop3.h"
#include "platform/env.h"

namespace {
constexpr char kTag[] = " - PopLogin - ";

// One single-line reply after a command: 0 when positive, otherwise -1 once
// reported. A negative reply is reported as negative_message, or as the
// reply itself when negative_message is null.
int Acknowledge(char* buffer, const char* receive_error, const char* negative_message) {
  const int got = ReceiveReply(buffer);
  if (got == platform::kSocketError) return LogFailure(kTag, receive_error, -1);
  if (got == 0) return LogFailure(kTag, "Socket closed by remote", -1);
  if (!IsPositive(buffer, got)) {
    return LogFailure(kTag, negative_message ? negative_message : CString(buffer, got), -1);
  }
  return 0;
}

// The TLS handshake on PopSocket, verified against the server's name as
// configured; 0, or -1 once reported.
int Handshake() {
  platform::Env& env = platform::env();
  if (env.StartTls(PopSocket, GatewaySettings.popserver, GatewaySettings.popcafile) ==
      platform::kSocketError) {
    return LogFailure(kTag, "TLS handshake failed - " + env.TlsFailureText(), -1);
  }
  return 0;
}

// STLS, then the handshake. The reply is read to the end of its line (at
// most kPopBufferSize bytes in all), and nothing may follow that line in
// clear text: bytes sent before the handshake would otherwise pass for
// replies inside TLS.
int StartTlsByCommand(char* buffer) {
  SendCommand("STLS");
  std::memset(buffer, 0, kPopBufferSize);
  int have = 0;
  const char* line_end = nullptr;
  while (line_end == nullptr && have < kPopBufferSize) {
    const int got = platform::env().Receive(PopSocket, buffer + have, kPopBufferSize - have);
    if (got == platform::kSocketError) return LogFailure(kTag, "Recv failed - ACK of STLS", -1);
    if (got == 0) return LogFailure(kTag, "Socket closed by remote", -1);
    line_end = static_cast<const char*>(std::memchr(buffer + have, '\n', got));
    have += got;
  }
  const std::string reply = CString(buffer, static_cast<std::size_t>(have));
  if (!IsPositive(buffer, have) || line_end == nullptr) {
    return LogFailure(kTag, "STLS refused - " + reply, -1);
  }
  if (line_end + 1 != buffer + have) {
    return LogFailure(kTag, "Data in clear text after the STLS reply", -1);
  }
  return Handshake();
}
}  // namespace

int PopLogin() {
  platform::Env& env = platform::env();
  char buffer[kPopBufferSize];

  PopSocket = env.CreateStreamSocket();
  // A socket whose waits cannot be bounded is not used: a silent server
  // would hold the run and the instance lock for ever.
  if (PopSocket == platform::kInvalidSocket ||
      env.SetSilenceLimit(PopSocket, kSilenceLimitMs) == platform::kSocketError) {
    return LogFailure(kTag, "Socket failed", -1);
  }
  if (env.SetBufferSize(PopSocket, platform::SocketBuffer::kReceive, kPopBufferSize) ==
      platform::kSocketError) {
    return LogFailure(kTag, "setsockopt(SO_RCVBUF)", -1);
  }
  if (env.SetBufferSize(PopSocket, platform::SocketBuffer::kSend, kPopBufferSize) ==
      platform::kSocketError) {
    return LogFailure(kTag, "setsockopt(SO_SNDBUF)", -1);
  }
  if (env.Connect(PopSocket, GatewaySettings.PopServerAddress, GatewaySettings.PopPort) ==
      platform::kSocketError) {
    return LogFailure(kTag, "Connect to ISP pop3 service failed", -1);
  }
  if (GatewaySettings.popsecurity == PopSecurity::kTls && Handshake() != 0) return -1;

  // The greeting is not judged: a negative one does not stop the login.
  const int got = ReceiveReply(buffer);
  if (got == platform::kSocketError) return LogFailure(kTag, "Recv failed - Initial", -1);
  if (got == 0) return LogFailure(kTag, "Socket closed by remote", -1);
  if (GatewaySettings.popsecurity == PopSecurity::kStartTls && StartTlsByCommand(buffer) != 0) {
    return -1;
  }

  // The sends are not checked: a failed one shows in the reply.
  SendCommandLine(GatewaySettings.UserCommand);
  if (Acknowledge(buffer, "Recv failed - ACK of User", "Bad User Name") != 0) return -1;
  SendCommandLine(GatewaySettings.PassCommand);
  if (Acknowledge(buffer, "Recv failed - ACK of Password", nullptr) != 0) return -1;
  return 0;
}
