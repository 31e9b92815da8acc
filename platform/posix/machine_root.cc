#include "platform/posix/machine_root.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

namespace platform {

namespace {

constexpr char kDefaultRoot[] = "/var/lib/tallowmere";
constexpr mode_t kDirectoryMode = 0700;

// 0 when path is a directory now (made here or already there), else errno.
int MakeDirectory(const std::string& path) {
  if (mkdir(path.c_str(), kDirectoryMode) == 0 || errno == EEXIST) return 0;
  return errno;
}

}  // namespace

std::string MachineRoot() {
  const char* root = std::getenv("TALLOWMERE_ROOT");
  return root != nullptr && *root != '\0' ? root : kDefaultRoot;
}

std::string MachinePath(const std::string& name) {
  return MachineRoot() + "/" + name;
}

int MakeMachineDirectory(const std::string& subdirectory) {
  const int error = MakeDirectory(MachineRoot());
  if (error != 0 || subdirectory.empty()) return error;
  return MakeDirectory(MachinePath(subdirectory));
}

}  // namespace platform
