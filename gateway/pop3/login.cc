#include <cstring>
#include <string>

#include "gateway/control/event_log.h"
#include "gateway/control/oauth_token.h"
#include "gateway/control/run_state.h"
#include "gateway/control/settings.h"
#include "gateway/control/text.h"
#include "gateway/pop3/base64.h"
#include "gateway/pop3/conversation.h"
#include "gateway/pop3/md5.h"
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

// The SASL mechanism that a method names in AUTH; null for the methods
// without one.
const char* SaslMechanism(PopAuth method) {
  switch (method) {
    case PopAuth::kPlain:
      return "PLAIN";
    case PopAuth::kXoauth2:
      return "XOAUTH2";
    case PopAuth::kUser:
    case PopAuth::kApop:
      break;
  }
  return nullptr;
}

// The mechanisms of the SASL line of a CAPA reply, upper-cased between
// blanks (" PLAIN XOAUTH2 "), or an empty text when the reply has none.
std::string SaslLine(const std::string& capabilities) {
  std::size_t start = 0;
  while (start < capabilities.size()) {
    std::size_t end = capabilities.find('\n', start);
    if (end == std::string::npos) end = capabilities.size();
    std::string line = UpperCase(TrimRight(capabilities.substr(start, end - start)));
    if (line.starts_with("SASL ")) return line.substr(4) + " ";
    start = end + 1;
  }
  return "";
}

// CAPA, and the mechanism on its SASL line; 0, or -1 once reported.
int RequireMechanism(char* buffer, const std::string& mechanism) {
  SendCommand("CAPA");
  std::string reply;
  switch (ReadMultiLine(buffer, [&](const char* bytes, int length) {
    reply.append(bytes, static_cast<std::size_t>(length));
  })) {
    case MultiLineResult::kComplete:
      break;
    case MultiLineResult::kReceiveError:
      return LogFailure(kTag, "Recv failed - ACK of CAPA", -1);
    case MultiLineResult::kClosed:
      return LogFailure(kTag, "Socket closed by remote", -1);
    case MultiLineResult::kProtocolError:
      return LogFailure(kTag, "CAPA refused - " + CString(buffer, kPopBufferSize), -1);
  }
  const std::string offered = SaslLine(reply);
  if (offered.find(" " + mechanism + " ") == std::string::npos) {
    return LogFailure(kTag,
                      "SASL " + mechanism + " not offered - " +
                          (offered.empty() ? std::string("no SASL capability")
                                           : "SASL" + TrimRight(offered)),
                      -1);
  }
  return 0;
}

// What the client sends in answer to the server's first challenge: for
// PLAIN the name and the password, for XOAUTH2 the name and the token.
std::string SaslResponse(PopAuth method, const std::string& token) {
  const GatewaySettingsRecord& s = GatewaySettings;
  if (method == PopAuth::kPlain) {
    return std::string(1, '\0') + s.popname + std::string(1, '\0') + s.poppass;
  }
  return "user=" + s.popname + "\x01" + "auth=Bearer " + token + "\x01\x01";
}

// SASL in its two-step form: "AUTH mechanism", the server's "+", the
// response in base64. A further challenge (an error report in some
// servers' words) is answered with an empty line and the reply that
// follows decides.
int SaslLogin(char* buffer, PopAuth method, const std::string& token) {
  const std::string mechanism = SaslMechanism(method);
  if (RequireMechanism(buffer, mechanism) != 0) return -1;
  SendCommand("AUTH " + mechanism);
  int got = ReceiveReply(buffer);
  if (got == platform::kSocketError) return LogFailure(kTag, "Recv failed - ACK of AUTH", -1);
  if (got == 0) return LogFailure(kTag, "Socket closed by remote", -1);
  if (buffer[0] != '+' || IsPositive(buffer, got)) {
    return LogFailure(kTag, "AUTH " + mechanism + " refused - " + CString(buffer, got), -1);
  }
  // A token makes a line of several KB: one that did not go out whole
  // would leave the server waiting for its end.
  const std::string response = Base64(SaslResponse(method, token));
  if (SendCommand(response) != static_cast<int>(response.size() + 2)) {
    return LogFailure(kTag, "Send failed - AUTH response", -1);
  }
  got = ReceiveReply(buffer);
  if (got > 0 && buffer[0] == '+' && !IsPositive(buffer, got)) {
    SendCommand("");
    got = ReceiveReply(buffer);
  }
  if (got == platform::kSocketError) {
    return LogFailure(kTag, "Recv failed - ACK of AUTH response", -1);
  }
  if (got == 0) return LogFailure(kTag, "Socket closed by remote", -1);
  if (!IsPositive(buffer, got)) return LogFailure(kTag, CString(buffer, got), -1);
  return 0;
}

// APOP with the greeting's timestamp, brackets included; the password
// itself is never sent.
int ApopLogin(char* buffer, const std::string& greeting) {
  const std::size_t open = greeting.find('<');
  const std::size_t close = open == std::string::npos ? open : greeting.find('>', open);
  if (close == std::string::npos) return LogFailure(kTag, "No APOP timestamp in the greeting", -1);
  const std::string timestamp = greeting.substr(open, close - open + 1);
  SendCommand("APOP " + GatewaySettings.popname + " " + Md5Hex(timestamp + GatewaySettings.poppass));
  return Acknowledge(buffer, "Recv failed - ACK of APOP", nullptr);
}

int UserPassLogin(char* buffer) {
  // The sends are not checked: a failed one shows in the reply.
  SendCommandLine(GatewaySettings.UserCommand);
  if (Acknowledge(buffer, "Recv failed - ACK of User", "Bad User Name") != 0) return -1;
  SendCommandLine(GatewaySettings.PassCommand);
  return Acknowledge(buffer, "Recv failed - ACK of Password", nullptr);
}
}  // namespace

int PopLogin() {
  platform::Env& env = platform::env();
  char buffer[kPopBufferSize];

  // The token first: without one there is nothing to log in with.
  std::string token;
  if (GatewaySettings.popauth == PopAuth::kXoauth2) {
    std::string failure;
    const std::string* have = AccessToken(&failure);
    if (have == nullptr) return LogFailure(kTag, failure, -1);
    token = *have;
  }

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
  const std::string greeting = CString(buffer, got);
  if (GatewaySettings.popsecurity == PopSecurity::kStartTls && StartTlsByCommand(buffer) != 0) {
    return -1;
  }

  switch (GatewaySettings.popauth) {
    case PopAuth::kUser:
      return UserPassLogin(buffer);
    case PopAuth::kApop:
      return ApopLogin(buffer, greeting);
    case PopAuth::kPlain:
    case PopAuth::kXoauth2:
      return SaslLogin(buffer, GatewaySettings.popauth, token);
  }
  return -1;
}
