// TLS on a connected socket, with OpenSSL. The session reads and writes the
// socket through a BIO of its own that never blocks and never raises SIGPIPE;
// each wait for the socket is bounded by the socket's silence limit, as for
// the plain calls. A socket whose handshake or transfer failed keeps its
// broken session: later sends and receives fail instead of going out in
// clear text.
#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/posix/posix_env.h"

namespace platform {

namespace {

constexpr std::uint32_t kWsaEconnaborted = 10053;

thread_local std::string tls_failure;

struct SslFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};
struct SslCtxFree {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
using SslPtr = std::unique_ptr<SSL, SslFree>;

// The sessions by socket; null once broken.
class Sessions {
 public:
  void Put(Socket socket, SslPtr ssl) {
    std::lock_guard<std::mutex> lock(mutex_);
    sessions_[socket] = std::move(ssl);
  }
  // False when the socket has no session; *ssl null when it is broken.
  bool Find(Socket socket, SSL** ssl) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sessions_.find(socket);
    if (it == sessions_.end()) return false;
    *ssl = it->second.get();
    return true;
  }
  void Break(Socket socket) { Put(socket, nullptr); }
  SslPtr Take(Socket socket) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sessions_.find(socket);
    if (it == sessions_.end()) return nullptr;
    SslPtr ssl = std::move(it->second);
    sessions_.erase(it);
    return ssl;
  }

 private:
  std::mutex mutex_;
  std::unordered_map<Socket, SslPtr> sessions_;
};

Sessions& AllSessions() {
  static Sessions* sessions = new Sessions;
  return *sessions;
}

// --- The socket BIO ---

int SocketOf(BIO* bio) {
  return static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(bio)));
}

int BioWrite(BIO* bio, const char* data, int length) {
  BIO_clear_retry_flags(bio);
  for (;;) {
    ssize_t sent = send(SocketOf(bio), data, static_cast<std::size_t>(length),
                        MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent >= 0) return static_cast<int>(sent);
    if (errno == EINTR) continue;
    if (errno == EAGAIN) BIO_set_retry_write(bio);
    return -1;
  }
}

int BioRead(BIO* bio, char* buffer, int length) {
  BIO_clear_retry_flags(bio);
  for (;;) {
    ssize_t got = recv(SocketOf(bio), buffer, static_cast<std::size_t>(length), MSG_DONTWAIT);
    if (got >= 0) return static_cast<int>(got);
    if (errno == EINTR) continue;
    if (errno == EAGAIN) BIO_set_retry_read(bio);
    return -1;
  }
}

long BioControl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

int BioCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

const BIO_METHOD* SocketMethod() {
  static const BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "socket");
    BIO_meth_set_write(m, BioWrite);
    BIO_meth_set_read(m, BioRead);
    BIO_meth_set_ctrl(m, BioControl);
    BIO_meth_set_create(m, BioCreate);
    return m;
  }();
  return method;
}

// --- Causes ---

// The TLS library's words for the failure of a call that returned ret.
std::string Cause(SSL* ssl, int ret, int saved_errno) {
  const int error = SSL_get_error(ssl, ret);
  std::string cause;
  if (error == SSL_ERROR_SSL) {
    const unsigned long code = ERR_peek_last_error();
    const char* reason = ERR_reason_error_string(code);
    cause = reason ? reason : "TLS protocol error";
    if (ERR_GET_LIB(code) == ERR_LIB_SSL &&
        ERR_GET_REASON(code) == SSL_R_CERTIFICATE_VERIFY_FAILED) {
      cause += ": ";
      cause += X509_verify_cert_error_string(SSL_get_verify_result(ssl));
    }
  } else if (error == SSL_ERROR_SYSCALL && saved_errno != 0) {
    cause = std::strerror(saved_errno);
  } else {
    cause = "connection closed by the server";
  }
  ERR_clear_error();
  return cause;
}

// Fails the call: the cause for TlsFailureText and the last error.
int Fail(const std::string& cause, std::uint32_t code) {
  tls_failure = cause;
  Env::Default()->SetLastErrorCode(code);
  return kSocketError;
}

// Runs one OpenSSL call until it completes, waiting (bounded by the
// socket's silence limit) while it wants the socket. The call's result, or
// kSocketError after a failure (session broken, cause and last error set);
// 0 from a receive that met the peer's close.
template <typename Call>
int Drive(Socket socket, SSL* ssl, Call call) {
  const std::uint32_t ms = SilenceLimitOf(socket);
  for (;;) {
    ERR_clear_error();
    errno = 0;
    const int ret = call();
    if (ret > 0) return ret;
    const int saved_errno = errno;
    const int error = SSL_get_error(ssl, ret);
    short events = 0;
    if (error == SSL_ERROR_WANT_READ) events = POLLIN;
    if (error == SSL_ERROR_WANT_WRITE) events = POLLOUT;
    if (events != 0) {
      if (WaitForSocket(socket, events, ms)) continue;
      const std::uint32_t code = Env::Default()->LastError();
      AllSessions().Break(socket);
      return Fail(code == kWsaEtimedout ? "no answer within the silence limit"
                                        : "waiting for the socket failed",
                  code);
    }
    if (error == SSL_ERROR_ZERO_RETURN) return 0;
    std::string cause = Cause(ssl, ret, saved_errno);
    AllSessions().Break(socket);
    if (saved_errno != 0 && error == SSL_ERROR_SYSCALL) {
      SetSocketErrorFromErrno(saved_errno);
      tls_failure = cause;
      return kSocketError;
    }
    return Fail(cause, kWsaEconnaborted);
  }
}

}  // namespace

int SystemEnv::StartTls(Socket socket, const std::string& server_name,
                       const std::string& ca_file) {
  // Until the handshake succeeds the socket carries nothing in clear text.
  AllSessions().Break(socket);
  char early;
  if (recv(static_cast<int>(socket), &early, 1, MSG_PEEK | MSG_DONTWAIT) > 0) {
    return Fail("data received in clear text before the handshake", kWsaEconnaborted);
  }
  if (server_name.empty()) return Fail("no server name to verify", kErrorInvalidParameter);

  ERR_clear_error();
  std::unique_ptr<SSL_CTX, SslCtxFree> ctx(SSL_CTX_new(TLS_client_method()));
  if (!ctx) return Fail("cannot set up TLS", kWsaEconnaborted);
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
  // A close without close_notify reads as a close: the conversation knows
  // where its replies end.
  SSL_CTX_set_options(ctx.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
  const bool trusted = ca_file.empty()
                           ? SSL_CTX_set_default_verify_paths(ctx.get()) == 1
                           : SSL_CTX_load_verify_locations(
                                 ctx.get(), PosixPath(ca_file).c_str(), nullptr) == 1;
  if (!trusted) {
    const char* reason = ERR_reason_error_string(ERR_peek_last_error());
    ERR_clear_error();
    return Fail("cannot load the CA file " + ca_file + ": " + (reason ? reason : "unreadable"),
                kErrorFileNotFound);
  }

  SslPtr ssl(SSL_new(ctx.get()));
  BIO* bio = ssl ? BIO_new(SocketMethod()) : nullptr;
  if (!bio) return Fail("cannot set up TLS", kWsaEconnaborted);
  BIO_set_data(bio, reinterpret_cast<void*>(static_cast<std::intptr_t>(socket)));
  SSL_set_bio(ssl.get(), bio, bio);

  in_addr ip{};
  bool named;
  if (inet_pton(AF_INET, server_name.c_str(), &ip) == 1) {
    named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl.get()), server_name.c_str()) == 1;
  } else {
    SSL_set_hostflags(ssl.get(), X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    named = SSL_set_tlsext_host_name(ssl.get(), server_name.c_str()) == 1 &&
            SSL_set1_host(ssl.get(), server_name.c_str()) == 1;
  }
  if (!named) {
    ERR_clear_error();
    return Fail("cannot verify the server name " + server_name, kErrorInvalidParameter);
  }

  SSL* session = ssl.get();
  AllSessions().Put(socket, std::move(ssl));
  const int done = Drive(socket, session, [&] { return SSL_connect(session); });
  if (done == 1) return 0;
  if (done == 0) {
    AllSessions().Break(socket);
    return Fail("connection closed by the server", kWsaEconnreset);
  }
  return kSocketError;
}

std::string SystemEnv::TlsFailureText() { return tls_failure; }

bool TlsSend(Socket socket, const char* data, int length, int* result) {
  SSL* ssl = nullptr;
  if (!AllSessions().Find(socket, &ssl)) return false;
  if (!ssl) {
    *result = Fail("the TLS session has failed", kWsaEconnaborted);
    return true;
  }
  int sent = 0;
  while (sent < length) {
    const int moved = Drive(socket, ssl, [&] { return SSL_write(ssl, data + sent, length - sent); });
    if (moved <= 0) {
      *result = moved == 0 ? 0 : kSocketError;
      return true;
    }
    sent += moved;
  }
  *result = sent;
  return true;
}

bool TlsReceive(Socket socket, char* buffer, int length, int* result) {
  SSL* ssl = nullptr;
  if (!AllSessions().Find(socket, &ssl)) return false;
  if (!ssl) {
    *result = Fail("the TLS session has failed", kWsaEconnaborted);
    return true;
  }
  *result = length <= 0 ? 0 : Drive(socket, ssl, [&] { return SSL_read(ssl, buffer, length); });
  return true;
}

void TlsForget(Socket socket) {
  SslPtr ssl = AllSessions().Take(socket);
  // close_notify if it can go at once; nothing is waited for.
  if (ssl && SSL_is_init_finished(ssl.get())) SSL_shutdown(ssl.get());
  ERR_clear_error();
}

}  // namespace platform
