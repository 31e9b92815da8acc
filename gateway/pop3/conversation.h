// The conventions of the POP3 conversation that the login, the download and
// the remote deletion share: one session socket (PopSocket), commands sent
// whole in one call, single-line replies in one receive, multi-line replies
// read until the line that holds a single full stop.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

// Every receive of the POP3 session asks for at most this many bytes, the
// longest reply line that POP3 allows.
inline constexpr int kPopBufferSize = 512;

// Sends line (CR LF included) on PopSocket in one send call: the bytes sent,
// 0, or platform::kSocketError. A partial send is not continued.
int SendCommandLine(const std::string& line);
// SendCommandLine(text + CR LF).
int SendCommand(const std::string& text);

// Zeroes buffer (kPopBufferSize bytes) and receives once into it, at most
// length bytes: the bytes received, 0 when the server closed, or
// platform::kSocketError.
int ReceiveReply(char* buffer, int length = kPopBufferSize);

// Stores each Ctrl-Z byte of a reply as a blank: the raw download is read as
// text, in which a Ctrl-Z ends the file.
void BlankCtrlZ(char* bytes, int length);

// A reply is positive when its first three bytes are "+OK".
bool IsPositive(const char* reply, int length);

// Recognises the end of a multi-line reply: the first line made of a single
// full stop, at its CR. The state carries over from one receive to the next.
// The reply itself goes on to the LF after that CR.
class ResponseEndDetector {
 public:
  // True when byte completes the end of the reply.
  bool See(char byte);

 private:
  int state_ = 0;
};

enum class MultiLineResult { kComplete, kReceiveError, kClosed, kProtocolError };

// Receives a multi-line reply in chunks of at most kPopBufferSize bytes into
// buffer, each Ctrl-Z byte replaced by a blank, and hands every chunk whole
// to hand_on. The first chunk must be positive. The reply is read once the
// LF of its full-stop line is: when the chunk that holds the CR ends there,
// one more byte is received and handed on with the reply.
MultiLineResult ReadMultiLine(char* buffer,
                              const std::function<void(const char*, int)>& hand_on);

// Sends "QUIT" and closes PopSocket; 0, or -1 once the failure is reported
// under tag. A send error closes the socket after reporting.
int EndSession(const char* tag);
