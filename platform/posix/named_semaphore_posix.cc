// STUB: not built yet; every call fails.
#include "platform/posix/posix_env.h"

namespace platform {

Handle PosixEnv::CreateNamedSemaphore(const std::string&, long, long) {
  SetLastErrorCode(50);  // ERROR_NOT_SUPPORTED
  return 0;
}

bool PosixEnv::CloseHandleValue(Handle) {
  SetLastErrorCode(50);  // ERROR_NOT_SUPPORTED
  return false;
}

}  // namespace platform
