// The POSIX backend of the platform layer. The machine's registry, event log
// and named objects live under the machine root ($TALLOWMERE_ROOT, default
// /var/lib/tallowmere); see machine_root.h.
#pragma once

#include "platform/system_env.h"

namespace platform {

// Sets the calling thread's last error from errno (Win32 numbering for files
// and kernel objects).
void SetLastErrorFromErrno(int error);
// Same for socket calls (Windows Sockets numbering).
void SetSocketErrorFromErrno(int error);
// The TLS session of a socket (tls_posix.cc): the transfers of Send and
// Receive through it when the socket has one (true, with *result set), and
// its end when the socket closes.
bool TlsSend(Socket socket, const char* data, int length, int* result);
bool TlsReceive(Socket socket, char* buffer, int length, int* result);
void TlsForget(Socket socket);
// Waits at most ms (0: for ever) until the socket is ready for events; on a
// time-out sets kWsaEtimedout and shuts the socket down.
bool WaitForSocket(Socket socket, short events, std::uint32_t ms);
std::uint32_t SilenceLimitOf(Socket socket);
// Backslashes to slashes.
std::string PosixPath(const std::string& path);

}  // namespace platform
