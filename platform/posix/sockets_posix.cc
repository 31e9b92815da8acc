// Windows Sockets 1.1 over BSD sockets. Sockets are blocking; a silence limit
// bounds each wait with poll() (which a faked clock speeds up, unlike
// SO_RCVTIMEO), and a wait that runs out shuts the socket down as Windows
// does after a time-out. A call whose socket is ready does not poll.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <limits>
#include <mutex>
#include <unordered_map>

#include "platform/posix/posix_env.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

int Fd(Socket socket) { return static_cast<int>(socket); }

// Silence limits in milliseconds, by socket; the two threads of the gateway
// set and read them concurrently.
class SilenceLimits {
 public:
  void Set(Socket socket, std::uint32_t ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ms == 0) {
      limits_.erase(socket);
    } else {
      limits_[socket] = ms;
    }
  }
  std::uint32_t Get(Socket socket) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = limits_.find(socket);
    return it == limits_.end() ? 0 : it->second;
  }

 private:
  std::mutex mutex_;
  std::unordered_map<Socket, std::uint32_t> limits_;
};

SilenceLimits& Limits() {
  static SilenceLimits* limits = new SilenceLimits;
  return *limits;
}

bool SetBlocking(Socket socket, bool blocking) {
  int flags = fcntl(Fd(socket), F_GETFL);
  if (flags < 0) return false;
  flags = blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK;
  return fcntl(Fd(socket), F_SETFL, flags) == 0;
}

// A non-blocking connect that waits at most ms, then blocking again.
int ConnectWithin(Socket socket, const sockaddr_in& to, std::uint32_t ms) {
  if (!SetBlocking(socket, false)) {
    SetSocketErrorFromErrno(errno);
    return kSocketError;
  }
  int error = 0;
  if (connect(Fd(socket), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    error = errno;
  }
  if (error == EINPROGRESS) {
    if (!WaitForSocket(socket, POLLOUT, ms)) {
      SetBlocking(socket, true);
      return kSocketError;
    }
    socklen_t length = sizeof error;
    if (getsockopt(Fd(socket), SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
      error = errno;
    }
  }
  if (!SetBlocking(socket, true) && error == 0) error = errno;
  if (error != 0) {
    SetSocketErrorFromErrno(error);
    return kSocketError;
  }
  return 0;
}

// One call of transfer (send or recv with the given flags). With a silence
// limit the call itself never blocks: it is tried first, and only when the
// socket is not ready (EAGAIN) is the wait for readiness bounded by the
// limit, so that a stream that keeps flowing costs one system call a chunk.
template <typename Transfer>
ssize_t TransferOnce(Socket socket, short events, std::uint32_t ms,
                     Transfer transfer) {
  for (;;) {
    ssize_t moved = transfer(ms != 0 ? MSG_DONTWAIT : 0);
    if (moved >= 0) return moved;
    if (errno == EINTR) continue;
    if (ms == 0 || errno != EAGAIN) {
      SetSocketErrorFromErrno(errno);
      return -1;
    }
    if (!WaitForSocket(socket, events, ms)) return -1;
  }
}

}  // namespace

bool WaitForSocket(Socket socket, short events, std::uint32_t ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  pollfd pfd{Fd(socket), events, 0};
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    int timeout = ms == 0 ? -1
                          : static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(
                                left.count(), 0, std::numeric_limits<int>::max()));
    int ready = poll(&pfd, 1, timeout);
    if (ready > 0) return true;
    if (ready == 0) {
      shutdown(Fd(socket), SHUT_RDWR);
      SetSocketErrorFromErrno(ETIMEDOUT);
      return false;
    }
    if (errno != EINTR) {
      SetSocketErrorFromErrno(errno);
      return false;
    }
  }
}

std::uint32_t SilenceLimitOf(Socket socket) { return Limits().Get(socket); }

int SystemEnv::SocketStartup() { return 0; }

void SystemEnv::SocketCleanup() {}

Socket SystemEnv::CreateStreamSocket() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    SetSocketErrorFromErrno(errno);
    return kInvalidSocket;
  }
  // Each send goes out at once: a short last segment must not wait for the
  // peer's delayed acknowledgement of the one before it.
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

// Winsock's buffer sizes bound what it holds for the program, not the TCP
// window. Here the same options are the TCP buffers themselves, and a few
// hundred bytes make a window smaller than one segment: the peer then sends
// a few hundred bytes per window probe, about five times a second. So a
// size is applied only where it enlarges the kernel's buffer.
int SystemEnv::SetBufferSize(Socket socket, SocketBuffer which, int bytes) {
  int option = which == SocketBuffer::kReceive ? SO_RCVBUF : SO_SNDBUF;
  int current = 0;
  socklen_t length = sizeof current;
  if (getsockopt(Fd(socket), SOL_SOCKET, option, &current, &length) != 0) {
    SetSocketErrorFromErrno(errno);
    return kSocketError;
  }
  if (bytes <= current) return 0;
  if (setsockopt(Fd(socket), SOL_SOCKET, option, &bytes, sizeof bytes) != 0) {
    SetSocketErrorFromErrno(errno);
    return kSocketError;
  }
  return 0;
}

int SystemEnv::SetSilenceLimit(Socket socket, std::uint32_t milliseconds) {
  Limits().Set(socket, milliseconds);
  return 0;
}

int SystemEnv::Connect(Socket socket, std::uint32_t address, std::uint16_t port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = address;
  if (std::uint32_t ms = Limits().Get(socket)) {
    return ConnectWithin(socket, to, ms);
  }
  if (connect(Fd(socket), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    SetSocketErrorFromErrno(errno);
    return kSocketError;
  }
  return 0;
}

// Like a blocking Windows send, the whole block goes out; with a silence
// limit, in as many non-blocking sends as the peer's pace needs.
int SystemEnv::Send(Socket socket, const char* data, int length) {
  if (int result; TlsSend(socket, data, length, &result)) return result;
  std::uint32_t ms = Limits().Get(socket);
  int sent = 0;
  do {
    ssize_t moved = TransferOnce(socket, POLLOUT, ms, [&](int flags) {
      return send(Fd(socket), data + sent, static_cast<std::size_t>(length - sent),
                  flags | MSG_NOSIGNAL);
    });
    if (moved < 0) return kSocketError;
    sent += static_cast<int>(moved);
  } while (sent < length);
  return sent;
}

int SystemEnv::Receive(Socket socket, char* buffer, int length) {
  if (int result; TlsReceive(socket, buffer, length, &result)) return result;
  ssize_t got = TransferOnce(socket, POLLIN, Limits().Get(socket), [&](int flags) {
    return recv(Fd(socket), buffer, static_cast<std::size_t>(length), flags);
  });
  return got < 0 ? kSocketError : static_cast<int>(got);
}

int SystemEnv::CloseSocket(Socket socket) {
  // Forget the limit first: once closed, the number may be reused at once.
  Limits().Set(socket, 0);
  TlsForget(socket);
  if (close(Fd(socket)) != 0 && errno != EINTR) {
    SetSocketErrorFromErrno(errno);
    return kSocketError;
  }
  return 0;
}

bool SystemEnv::LookupHost(const std::string& name, std::uint32_t* address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int status = getaddrinfo(name.c_str(), nullptr, &hints, &found);
  if (status == 0) {
    *address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(found);
    return true;
  }
  switch (status) {
    case EAI_NONAME:
    case EAI_FAIL:
      SetLastErrorCode(kWsaHostNotFound);
      break;
    case EAI_NODATA:
    case EAI_ADDRFAMILY:
      SetLastErrorCode(kWsaNoData);
      break;
    case EAI_AGAIN:
      SetLastErrorCode(kWsaEnetdown);
      break;
    case EAI_SYSTEM:
      SetSocketErrorFromErrno(errno == ENETUNREACH ? ENETDOWN : errno);
      break;
    default:
      SetLastErrorCode(11003);  // WSANO_RECOVERY
      break;
  }
  return false;
}

std::uint32_t SystemEnv::DottedToAddress(const std::string& text) {
  return inet_addr(text.c_str());
}

}  // namespace platform
