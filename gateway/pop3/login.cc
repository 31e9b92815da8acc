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
constexpr std::uint16_t kPop3Port = 110;

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
  if (env.Connect(PopSocket, GatewaySettings.PopServerAddress, kPop3Port) ==
      platform::kSocketError) {
    return LogFailure(kTag, "Connect to ISP pop3 service failed", -1);
  }

  // The greeting is not judged: a negative one does not stop the login.
  const int got = ReceiveReply(buffer);
  if (got == platform::kSocketError) return LogFailure(kTag, "Recv failed - Initial", -1);
  if (got == 0) return LogFailure(kTag, "Socket closed by remote", -1);

  // The sends are not checked: a failed one shows in the reply.
  SendCommandLine(GatewaySettings.UserCommand);
  if (Acknowledge(buffer, "Recv failed - ACK of User", "Bad User Name") != 0) return -1;
  SendCommandLine(GatewaySettings.PassCommand);
  if (Acknowledge(buffer, "Recv failed - ACK of Password", nullptr) != 0) return -1;
  return 0;
}
