#include "gateway/pop3/conversation.h"

#include <algorithm>
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

int ReceiveReply(char* buffer, int length) {
  std::memset(buffer, 0, kPopBufferSize);
  return platform::env().Receive(PopSocket, buffer, length);
}

void BlankCtrlZ(char* bytes, int length) {
  std::replace(bytes, bytes + length, kCtrlZ, ' ');
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
  // Once the chunk that held the CR of the full-stop line ended right there:
  // its LF, the last byte of the reply, is still to come.
  bool line_feed_due = false;
  for (;;) {
    const int got = ReceiveReply(buffer, line_feed_due ? 1 : kPopBufferSize);
    if (got == platform::kSocketError) return MultiLineResult::kReceiveError;
    if (got == 0) return MultiLineResult::kClosed;
    if (first && !IsPositive(buffer, got)) return MultiLineResult::kProtocolError;
    first = false;
    BlankCtrlZ(buffer, got);
    int end = -1;
    for (int i = 0; i < got; ++i) {
      if (detector.See(buffer[i]) && end < 0) end = i;
    }
    hand_on(buffer, got);
    if (line_feed_due || (end >= 0 && end + 1 < got)) return MultiLineResult::kComplete;
    line_feed_due = end >= 0;
  }
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
