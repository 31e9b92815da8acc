#include <cerrno>

#include "platform/posix/posix_env.h"

namespace platform {

namespace {
thread_local std::uint32_t last_error = 0;
}

Env* Env::Default() {
  static SystemEnv* env = new SystemEnv;
  return env;
}

std::uint32_t SystemEnv::LastError() { return last_error; }
void SystemEnv::SetLastErrorCode(std::uint32_t code) { last_error = code; }

std::string PosixPath(const std::string& path) {
  std::string p = path;
  for (char& c : p) {
    if (c == '\\') c = '/';
  }
  return p;
}

void SetLastErrorFromErrno(int error) {
  std::uint32_t code;
  switch (error) {
    case 0: code = kErrorSuccess; break;
    case ENOENT: code = kErrorFileNotFound; break;
    case ENOTDIR: code = kErrorPathNotFound; break;
    case EACCES: case EPERM: case EISDIR: code = kErrorAccessDenied; break;
    case EBADF: code = kErrorInvalidHandle; break;
    case EEXIST: code = kErrorAlreadyExists; break;
    case EINVAL: code = kErrorInvalidParameter; break;
    case ENOSPC: case EDQUOT: case EFBIG: code = 112; break;  // ERROR_DISK_FULL
    case EXDEV: code = 17; break;     // ERROR_NOT_SAME_DEVICE
    case ENOTEMPTY: code = 145; break;  // ERROR_DIR_NOT_EMPTY
    case ELOOP: code = 1921; break;   // ERROR_CANT_RESOLVE_FILENAME
    case ENOMEM: case EAGAIN: code = 8; break;  // ERROR_NOT_ENOUGH_MEMORY
    case ENAMETOOLONG: code = 206; break;  // ERROR_FILENAME_EXCED_RANGE
    case EROFS: code = 19; break;     // ERROR_WRITE_PROTECT
    case EBUSY: case ETXTBSY: code = 32; break;  // ERROR_SHARING_VIOLATION
    case EIO: code = 1117; break;     // ERROR_IO_DEVICE
    case EMFILE: case ENFILE: code = 4; break;  // ERROR_TOO_MANY_OPEN_FILES
    default: code = 31; break;        // ERROR_GEN_FAILURE
  }
  last_error = code;
}

void SetSocketErrorFromErrno(int error) {
  std::uint32_t code;
  switch (error) {
    case 0: code = 0; break;
    case ECONNREFUSED: code = kWsaEconnrefused; break;
    case ETIMEDOUT: code = kWsaEtimedout; break;
    case ECONNRESET: code = kWsaEconnreset; break;
    case ECONNABORTED: code = 10053; break;
    case EPIPE: case ESHUTDOWN: code = 10058; break;  // WSAESHUTDOWN
    case EAGAIN: code = 10035; break;       // WSAEWOULDBLOCK
    case EACCES: code = 10013; break;
    case EFAULT: code = 10014; break;
    case EMSGSIZE: code = 10040; break;
    case ENOPROTOOPT: code = 10042; break;
    case EPROTONOSUPPORT: code = 10043; break;
    case EOPNOTSUPP: code = 10045; break;
    case EHOSTDOWN: code = 10064; break;
    case ENOTCONN: code = 10057; break;
    case ENOTSOCK: case EBADF: code = kWsaEnotsock; break;
    case ENETDOWN: code = kWsaEnetdown; break;
    case ENETUNREACH: code = 10051; break;
    case EHOSTUNREACH: code = 10065; break;
    case EADDRINUSE: code = 10048; break;
    case EADDRNOTAVAIL: code = 10049; break;
    case EINVAL: code = 10022; break;
    case EINTR: code = 10004; break;
    case EMFILE: case ENFILE: code = 10024; break;
    case ENOBUFS: case ENOMEM: code = 10055; break;
    case EAFNOSUPPORT: code = 10047; break;
    case EINPROGRESS: code = 10036; break;
    case EALREADY: code = 10037; break;
    case EISCONN: code = 10056; break;
    default: code = 10022; break;   // WSAEINVAL
  }
  last_error = code;
}

}  // namespace platform
