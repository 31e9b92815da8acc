#include <windows.h>

#include "platform/win32/win32_env.h"

namespace platform {

Env* Env::Default() {
  static SystemEnv* env = new SystemEnv;
  return env;
}

// Windows Sockets keeps its last error in the same per-thread value
// (WSAGetLastError is GetLastError), so one pair serves both numberings.
std::uint32_t SystemEnv::LastError() { return GetLastError(); }
void SystemEnv::SetLastErrorCode(std::uint32_t code) { SetLastError(code); }

SavedLastError::SavedLastError() : code_(GetLastError()) {}
void SavedLastError::Restore() const { SetLastError(code_); }

}  // namespace platform
