#include "gateway/pop3/conversation.h"

#include <cstring>

#include "gateway/control/event_log.h"
#include "gateway/control/run_state.h"
#include "platform/env.h"

namespace {
constexpr char kCtrlZ = 0x1A;
}

int SendCommandLine(const std::string& line) {
  return platform::env().Send(PopSocket, line.data(), static_cast<int>(line.size()));
}

int SendCommand(const std::string& text) { return SendCommandLine(text + "\r\n"); }

int ReceiveReply(char* buffer) {
  std::memset(buffer, 0, kPopBufferSize);
  return platform::env().Receive(PopSocket, buffer, kPopBufferSize);
}

bool IsPositive(const char* reply, int length) {
  return length >= 3 && std::memcmp(reply, "+OK", 3) == 0;
}

bool ResponseEndDetector::See(char byte) {
  switch (state_) {
    case 0:
      if (byte == '\n') state_ = 1;
      return false;
    case 1:
      state_ = byte == '.' ? 2 : 0;
      return false;
    default:
      state_ = 0;
      return byte == '\r';
  }
}

MultiLineResult ReadMultiLine(char* buffer,
                              const std::function<void(const char*, int)>& hand_on) {
  ResponseEndDetector detector;
  bool first = true;
  bool ended = false;
  while (!ended) {
    const int got = ReceiveReply(buffer);
    if (got == platform::kSocketError) return MultiLineResult::kReceiveError;
    if (got == 0) return MultiLineResult::kClosed;
    if (first && !IsPositive(buffer, got)) return MultiLineResult::kProtocolError;
    first = false;
    for (int i = 0; i < got; ++i) {
      if (buffer[i] == kCtrlZ) buffer[i] = ' ';
      if (detector.See(buffer[i])) ended = true;
    }
    hand_on(buffer, got);
  }
  return MultiLineResult::kComplete;
}

int EndSession(const char* tag) {
  platform::Env& env = platform::env();
  const int sent = SendCommand("QUIT");
  if (sent == platform::kSocketError) {
    LogFailure(tag, "Send failed - QUIT", -1);
    env.CloseSocket(PopSocket);
    return -1;
  }
  if (sent == 0) return LogFailure(tag, "Socket closed by remote", -1);
  if (env.CloseSocket(PopSocket) == platform::kSocketError) {
    return LogFailure(tag, "Close Socket failed", -1);
  }
  return 0;
}
