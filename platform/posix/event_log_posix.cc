// STUB: not built yet; every call fails.
#include "platform/posix/posix_env.h"

namespace platform {

EventSource PosixEnv::RegisterSource(const std::string&) {
  SetLastErrorCode(50);  // ERROR_NOT_SUPPORTED
  return 0;
}

bool PosixEnv::Report(EventSource, std::uint16_t, std::uint16_t, std::uint32_t, const std::vector<std::string>&) {
  SetLastErrorCode(50);  // ERROR_NOT_SUPPORTED
  return false;
}

void PosixEnv::DeregisterSource(EventSource) {
  SetLastErrorCode(50);  // ERROR_NOT_SUPPORTED
}

}  // namespace platform
