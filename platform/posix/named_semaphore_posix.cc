// Named semaphores on POSIX: the lock file $TALLOWMERE_ROOT/locks/NAME, held
// with a non-blocking exclusive flock while the handle that took it is open.
// The kernel drops the lock when the process ends, however it ends. The
// programs only ask whether the object exists already and never wait on it,
// so the counts are checked but not kept.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/machine_root.h"
#include "platform/posix/posix_env.h"

namespace platform {

namespace {

constexpr char kLockDirectory[] = "locks";
constexpr mode_t kFileMode = 0600;

// A name that is one file name inside locks/.
bool IsFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

}  // namespace

Handle SystemEnv::CreateNamedSemaphore(const std::string& name, long initial_count,
                                      long maximum_count) {
  if (!IsFileName(name) || maximum_count <= 0 || initial_count < 0 ||
      initial_count > maximum_count) {
    SetLastErrorCode(kErrorInvalidParameter);
    return 0;
  }
  if (const int error = MakeMachineDirectory(kLockDirectory); error != 0) {
    SetLastErrorFromErrno(error);
    return 0;
  }
  const std::string path = MachinePath(std::string(kLockDirectory) + "/" + name);
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kFileMode);
  if (fd < 0) {
    SetLastErrorFromErrno(errno);
    return 0;
  }
  // A run by root must not leave a lock file the gateway's user cannot open.
  GiveFileToMachineRootOwner(fd, path);
  int locked;
  do {
    locked = flock(fd, LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked == 0) {
    SetLastErrorCode(kErrorSuccess);
  } else if (errno == EWOULDBLOCK) {
    // Held by another handle: this one stays open without the lock.
    SetLastErrorCode(kErrorAlreadyExists);
  } else {
    SetLastErrorFromErrno(errno);
    close(fd);
    return 0;
  }
  // fd + 1 so that descriptor 0 still gives a handle other than 0.
  return static_cast<Handle>(fd) + 1;
}

bool SystemEnv::CloseHandleValue(Handle handle) {
  if (handle == 0 || close(static_cast<int>(handle - 1)) != 0) {
    SetLastErrorCode(kErrorInvalidHandle);
    return false;
  }
  return true;
}

}  // namespace platform
