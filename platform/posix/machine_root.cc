#include "platform/posix/machine_root.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
  const std::string path = MachinePath(subdirectory);
  if (mkdir(path.c_str(), kDirectoryMode) == 0) return GiveDirectoryToMachineRootOwner(path);
  return errno == EEXIST ? 0 : errno;
}

bool ForeignMachineRootOwner(uid_t* uid, gid_t* gid) {
  if (geteuid() != 0) return false;
  struct stat st;
  if (stat(MachineRoot().c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid == 0) {
    return false;
  }
  *uid = st.st_uid;
  *gid = st.st_gid;
  return true;
}

int GiveFileToMachineRootOwner(int fd, const std::string& path) {
  uid_t uid;
  gid_t gid;
  if (!ForeignMachineRootOwner(&uid, &gid)) return 0;
  struct stat opened;
  if (fstat(fd, &opened) != 0) return errno;
  if (opened.st_uid == uid && opened.st_gid == gid) return 0;
  // Only the file that path itself names, a regular file with no other
  // name: a symbolic or hard link planted by the owner stays root's.
  struct stat named;
  if (lstat(path.c_str(), &named) != 0) return errno;
  if (!S_ISREG(named.st_mode) || named.st_dev != opened.st_dev || named.st_ino != opened.st_ino ||
      opened.st_nlink != 1) {
    return EPERM;
  }
  return fchown(fd, uid, gid) == 0 ? 0 : errno;
}

int GiveDirectoryToMachineRootOwner(const std::string& path) {
  uid_t uid;
  gid_t gid;
  if (!ForeignMachineRootOwner(&uid, &gid)) return 0;
  // Through a descriptor of the directory itself, never a symbolic link put
  // in its place.
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno;
  const int error = fchown(fd, uid, gid) == 0 ? 0 : errno;
  close(fd);
  return error;
}

}  // namespace platform
