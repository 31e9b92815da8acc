// Registry: the machine's own, through the ANSI calls; every status code is
// returned as Windows gives it.
#include <windows.h>

#include "platform/win32/win32_env.h"

namespace platform {

namespace {

// HKEY_LOCAL_MACHINE is the only root the programs use.
HKEY RootKey(RegRoot) { return HKEY_LOCAL_MACHINE; }

REGSAM AccessMask(RegAccess access) {
  switch (access) {
    case RegAccess::kQueryValue: return KEY_QUERY_VALUE;
    case RegAccess::kSetValue: return KEY_SET_VALUE;
    case RegAccess::kAllAccess: break;
  }
  return KEY_ALL_ACCESS;
}

HKEY ToKey(RegKey key) { return reinterpret_cast<HKEY>(key); }

}  // namespace

long SystemEnv::RegOpen(RegRoot root, const std::string& path, RegAccess access,
                       RegKey* key) {
  HKEY opened = nullptr;
  const LONG status =
      RegOpenKeyExA(RootKey(root), path.c_str(), 0, AccessMask(access), &opened);
  *key = status == ERROR_SUCCESS ? reinterpret_cast<RegKey>(opened) : 0;
  return status;
}

long SystemEnv::RegCreate(RegRoot root, const std::string& path, RegKey* key,
                         RegDisposition* disposition) {
  HKEY created = nullptr;
  DWORD how = 0;
  const LONG status = RegCreateKeyExA(RootKey(root), path.c_str(), 0, nullptr,
                                      REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                      nullptr, &created, &how);
  *key = status == ERROR_SUCCESS ? reinterpret_cast<RegKey>(created) : 0;
  if (status == ERROR_SUCCESS && disposition != nullptr) {
    *disposition = how == REG_CREATED_NEW_KEY ? RegDisposition::kCreatedNewKey
                                              : RegDisposition::kOpenedExistingKey;
  }
  return status;
}

long SystemEnv::RegQuery(RegKey key, const std::string& name, std::uint32_t* type,
                        unsigned char* data, std::uint32_t* size) {
  DWORD stored_type = 0;
  DWORD length = *size;
  const LONG status =
      RegQueryValueExA(ToKey(key), name.c_str(), nullptr, &stored_type, data, &length);
  *size = length;
  if (type != nullptr) *type = stored_type;
  return status;
}

long SystemEnv::RegSet(RegKey key, const std::string& name, std::uint32_t type,
                      const unsigned char* data, std::uint32_t size) {
  return RegSetValueExA(ToKey(key), name.c_str(), 0, type, data, size);
}

long SystemEnv::RegClose(RegKey key) { return RegCloseKey(ToKey(key)); }

}  // namespace platform
