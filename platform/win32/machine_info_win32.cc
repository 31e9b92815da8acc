// Version records of program files, memory and disk figures.
#include <windows.h>
#include <direct.h>

#include <cstring>

#include "platform/win32/win32_env.h"

namespace platform {

bool SystemEnv::ReadVersionRecord(const std::string& bare_name,
                                 std::map<std::string, std::string>* entries) {
  const SavedLastError before;
  entries->clear();
  // A bare name is searched for as the loader would: the program's
  // directory, the system directories, the current directory, PATH.
  DWORD unused = 0;
  const DWORD size = GetFileVersionInfoSizeA(bare_name.c_str(), &unused);
  if (size == 0) return false;
  std::vector<char> record(size);
  if (!GetFileVersionInfoA(bare_name.c_str(), 0, size, record.data())) return false;

  static const char* const kNames[] = {"FileVersion", "ProductVersion",
                                       "FileDescription", "OriginalFilename",
                                       "ProductName"};
  for (const char* name : kNames) {
    const std::string path = std::string("\\StringFileInfo\\040904B0\\") + name;
    void* value = nullptr;
    UINT length = 0;
    if (VerQueryValueA(record.data(), path.c_str(), &value, &length) && length > 0) {
      const char* text = static_cast<const char*>(value);
      (*entries)[name] = std::string(text, strnlen(text, length));
    }
  }
  before.Restore();
  return true;
}

bool SystemEnv::QueryMemory(MemoryStatus* status) {
  MEMORYSTATUSEX memory;
  memory.dwLength = sizeof memory;
  if (!GlobalMemoryStatusEx(&memory)) return false;
  status->total_physical_bytes = memory.ullTotalPhys;
  return true;
}

int SystemEnv::CurrentDrive() { return _getdrive(); }

bool SystemEnv::QueryDiskFree(const std::string& root, DiskFree* free) {
  DWORD sectors_per_cluster = 0;
  DWORD bytes_per_sector = 0;
  DWORD free_clusters = 0;
  DWORD total_clusters = 0;
  if (!GetDiskFreeSpaceA(root.c_str(), &sectors_per_cluster, &bytes_per_sector,
                         &free_clusters, &total_clusters)) {
    return false;
  }
  free->available_clusters = free_clusters;
  free->sectors_per_cluster = sectors_per_cluster;
  free->bytes_per_sector = bytes_per_sector;
  return true;
}

}  // namespace platform
