// Windows Sockets 1.1. A socket without a silence limit blocks as usual. A
// socket with one is non-blocking, and each wait of its connect, send and
// receive is a select() bounded by the limit; a wait that runs out shuts the
// socket down, as Windows does after a time-out.
#include <winsock2.h>

#include <cstring>
#include <map>
#include <mutex>

#include "platform/win32/win32_env.h"

namespace platform {

namespace {

// Silence limits in milliseconds of the sockets that have one; the gateway's
// two threads set and read them concurrently.
std::mutex limits_mutex;
std::map<SOCKET, DWORD> silence_limits;

DWORD SilenceLimit(SOCKET s) {
  std::lock_guard<std::mutex> lock(limits_mutex);
  auto it = silence_limits.find(s);
  return it == silence_limits.end() ? 0 : it->second;
}

SOCKET ToSocket(Socket socket) {
  return socket == kInvalidSocket ? INVALID_SOCKET : static_cast<SOCKET>(socket);
}

enum class Wait { kRead, kWrite, kConnect };

// Waits until the socket is ready or limit_ms have passed: 0 when ready,
// otherwise SOCKET_ERROR with the last error set. A wait that runs out shuts
// the socket down in both directions and fails with WSAETIMEDOUT.
int WaitReady(SOCKET s, Wait wait, DWORD limit_ms) {
  fd_set ready;
  fd_set failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  FD_SET(s, &ready);
  FD_SET(s, &failed);
  timeval limit;
  limit.tv_sec = static_cast<long>(limit_ms / 1000);
  limit.tv_usec = static_cast<long>(limit_ms % 1000) * 1000;
  const int n = select(0, wait == Wait::kRead ? &ready : nullptr,
                       wait == Wait::kRead ? nullptr : &ready,
                       wait == Wait::kConnect ? &failed : nullptr, &limit);
  if (n == SOCKET_ERROR) return SOCKET_ERROR;
  if (n == 0) {
    shutdown(s, SD_BOTH);
    WSASetLastError(WSAETIMEDOUT);
    return SOCKET_ERROR;
  }
  if (wait == Wait::kConnect && FD_ISSET(s, &failed)) {
    int error = 0;
    int length = sizeof error;
    getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
    WSASetLastError(error != 0 ? error : WSAECONNREFUSED);
    return SOCKET_ERROR;
  }
  return 0;
}

}  // namespace

int SystemEnv::SocketStartup() {
  WSADATA data;
  return WSAStartup(MAKEWORD(1, 1), &data);
}

void SystemEnv::SocketCleanup() { WSACleanup(); }

Socket SystemEnv::CreateStreamSocket() {
  const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) return kInvalidSocket;
  // Each send goes out at once: a short last segment must not wait for the
  // peer's delayed acknowledgement of the one before it.
  const BOOL one = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  return static_cast<Socket>(s);
}

int SystemEnv::SetBufferSize(Socket socket, SocketBuffer which, int bytes) {
  return setsockopt(ToSocket(socket), SOL_SOCKET,
                    which == SocketBuffer::kReceive ? SO_RCVBUF : SO_SNDBUF,
                    reinterpret_cast<const char*>(&bytes), sizeof bytes);
}

int SystemEnv::SetSilenceLimit(Socket socket, std::uint32_t milliseconds) {
  const SOCKET s = ToSocket(socket);
  u_long non_blocking = milliseconds != 0 ? 1 : 0;
  if (ioctlsocket(s, FIONBIO, &non_blocking) == SOCKET_ERROR) return SOCKET_ERROR;
  std::lock_guard<std::mutex> lock(limits_mutex);
  if (milliseconds == 0) {
    silence_limits.erase(s);
  } else {
    silence_limits[s] = milliseconds;
  }
  return 0;
}

int SystemEnv::Connect(Socket socket, std::uint32_t address, std::uint16_t port) {
  const SOCKET s = ToSocket(socket);
  sockaddr_in peer;
  std::memset(&peer, 0, sizeof peer);
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  peer.sin_addr.s_addr = address;
  const SavedLastError before;
  if (connect(s, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0) return 0;
  const DWORD limit = SilenceLimit(s);
  if (limit == 0 || WSAGetLastError() != WSAEWOULDBLOCK) return SOCKET_ERROR;
  if (WaitReady(s, Wait::kConnect, limit) == SOCKET_ERROR) return SOCKET_ERROR;
  before.Restore();
  return 0;
}

// Through the socket's TLS session when it has one.
int SystemEnv::Send(Socket socket, const char* data, int length) {
  if (int result; TlsSend(socket, data, length, &result)) return result;
  return PlainSend(socket, data, length);
}

int SystemEnv::Receive(Socket socket, char* buffer, int length) {
  if (int result; TlsReceive(socket, buffer, length, &result)) return result;
  return PlainReceive(socket, buffer, length);
}

// Like a blocking send, the whole block goes out; with a silence limit in as
// many sends as the peer's pace needs, each after a bounded wait.
int PlainSend(Socket socket, const char* data, int length) {
  const SOCKET s = ToSocket(socket);
  const DWORD limit = SilenceLimit(s);
  if (limit == 0) return send(s, data, length, 0);
  const SavedLastError before;
  int sent = 0;
  do {
    if (WaitReady(s, Wait::kWrite, limit) == SOCKET_ERROR) return SOCKET_ERROR;
    const int moved = send(s, data + sent, length - sent, 0);
    if (moved == SOCKET_ERROR) {
      if (WSAGetLastError() != WSAEWOULDBLOCK) return SOCKET_ERROR;
    } else {
      sent += moved;
    }
  } while (sent < length);
  before.Restore();
  return sent;
}

int PlainReceive(Socket socket, char* buffer, int length) {
  const SOCKET s = ToSocket(socket);
  const DWORD limit = SilenceLimit(s);
  if (limit == 0) return recv(s, buffer, length, 0);
  const SavedLastError before;
  for (;;) {
    if (WaitReady(s, Wait::kRead, limit) == SOCKET_ERROR) return SOCKET_ERROR;
    const int received = recv(s, buffer, length, 0);
    if (received != SOCKET_ERROR) {
      before.Restore();
      return received;
    }
    if (WSAGetLastError() != WSAEWOULDBLOCK) return SOCKET_ERROR;
  }
}

int SystemEnv::CloseSocket(Socket socket) {
  const SOCKET s = ToSocket(socket);
  {
    // Forgotten first: once closed, the number may be reused at once.
    std::lock_guard<std::mutex> lock(limits_mutex);
    silence_limits.erase(s);
  }
  TlsForget(socket);
  return closesocket(s);
}

bool SystemEnv::LookupHost(const std::string& name, std::uint32_t* address) {
  const hostent* host = gethostbyname(name.c_str());
  if (host == nullptr) return false;
  if (host->h_addrtype != AF_INET || host->h_length != sizeof *address ||
      host->h_addr_list[0] == nullptr) {
    WSASetLastError(WSANO_DATA);
    return false;
  }
  std::memcpy(address, host->h_addr_list[0], sizeof *address);
  return true;
}

std::uint32_t SystemEnv::DottedToAddress(const std::string& text) {
  return inet_addr(text.c_str());
}

}  // namespace platform
