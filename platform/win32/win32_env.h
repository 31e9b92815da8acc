// The Win32 backend of the platform layer: each call maps onto the ANSI
// Windows API with the same meaning, so the machine's registry, event log and
// named objects are Windows' own.
#pragma once

#include "platform/system_env.h"

namespace platform {

// The plain socket transfers, within the socket's silence limit
// (sockets_win32.cc), under Send and Receive and under TLS.
int PlainSend(Socket socket, const char* data, int length);
int PlainReceive(Socket socket, char* buffer, int length);
// The TLS session of a socket (tls_win32.cc): Send and Receive through it
// when the socket has one (true, with *result set), and its end.
bool TlsSend(Socket socket, const char* data, int length, int* result);
bool TlsReceive(Socket socket, char* buffer, int length, int* result);
void TlsForget(Socket socket);

// The calling thread's last error at construction, put back by Restore().
// For calls that succeed although a system call on their way failed (a
// connect that first reports "would block", a listing that ends with "no
// more files"): a call that succeeds leaves the last error as it was.
class SavedLastError {
 public:
  SavedLastError();
  void Restore() const;

 private:
  std::uint32_t code_;
};

}  // namespace platform
