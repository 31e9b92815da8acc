// STUB: not built yet; every call fails.
#include "platform/posix/posix_env.h"

namespace platform {

long PosixEnv::RegOpen(RegRoot, const std::string&, RegAccess, RegKey*) {
  SetLastErrorCode(50);  // ERROR_NOT_SUPPORTED
  return kErrorFileNotFound;
}

long PosixEnv::RegCreate(RegRoot, const std::string&, RegKey*, RegDisposition*) {
  SetLastErrorCode(50);  // ERROR_NOT_SUPPORTED
  return kErrorAccessDenied;
}

long PosixEnv::RegQuery(RegKey, const std::string&, std::uint32_t*, unsigned char*, std::uint32_t*) {
  SetLastErrorCode(50);  // ERROR_NOT_SUPPORTED
  return kErrorFileNotFound;
}

long PosixEnv::RegSet(RegKey, const std::string&, std::uint32_t, const unsigned char*, std::uint32_t) {
  SetLastErrorCode(50);  // ERROR_NOT_SUPPORTED
  return kErrorAccessDenied;
}

long PosixEnv::RegClose(RegKey) {
  SetLastErrorCode(50);  // ERROR_NOT_SUPPORTED
  return kErrorInvalidHandle;
}

}  // namespace platform
