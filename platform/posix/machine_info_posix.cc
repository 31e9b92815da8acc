// STUB: not built yet; every call fails.
#include "platform/posix/posix_env.h"

namespace platform {

bool PosixEnv::ReadVersionRecord(const std::string&, std::map<std::string, std::string>*) {
  SetLastErrorCode(50);  // ERROR_NOT_SUPPORTED
  return false;
}

bool PosixEnv::QueryMemory(MemoryStatus*) {
  SetLastErrorCode(50);  // ERROR_NOT_SUPPORTED
  return false;
}

int PosixEnv::CurrentDrive() {
  SetLastErrorCode(50);  // ERROR_NOT_SUPPORTED
  return 3;
}

bool PosixEnv::QueryDiskFree(const std::string&, DiskFree*) {
  SetLastErrorCode(50);  // ERROR_NOT_SUPPORTED
  return false;
}

}  // namespace platform
