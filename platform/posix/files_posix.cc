// Files and directory listings with the Windows semantics the programs rely
// on: create-always, opening a directory fails, moving without replacing is
// atomic, and a listing includes "." and "..".
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/machine_root.h"
#include "platform/posix/posix_env.h"

namespace platform {

namespace {

int Fd(FileHandle file) { return static_cast<int>(file); }

// The directory part of a POSIX path ("." when it has none).
std::string ParentOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Like SetLastErrorFromErrno, but tells a missing file (2) from a missing
// directory on its way (3), as Windows does.
void SetPathError(int error, const std::string& path) {
  struct stat st;
  if (error == ENOENT && stat(ParentOf(path).c_str(), &st) != 0) {
    error = ENOTDIR;
  }
  SetLastErrorFromErrno(error);
}

// A move that found no file: when the source is there, what is missing is
// the target's directory, as Windows reports it (ERROR_PATH_NOT_FOUND).
void SetMoveError(int error, const std::string& from, const std::string& to) {
  struct stat st;
  SetPathError(error, error == ENOENT && stat(from.c_str(), &st) == 0 ? to : from);
}

}  // namespace

FileHandle SystemEnv::CreateFileAlways(const std::string& path) {
  std::string p = PosixPath(path);
  int fd = open(p.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    SetPathError(errno, p);
    return kInvalidFile;
  }
  return fd;
}

FileHandle SystemEnv::OpenForRead(const std::string& path) {
  std::string p = PosixPath(path);
  int fd = open(p.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    SetPathError(errno, p);
    return kInvalidFile;
  }
  struct stat st;
  int error = fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
  if (error != 0) {
    close(fd);
    SetLastErrorFromErrno(error);
    return kInvalidFile;
  }
  return fd;
}

long SystemEnv::ReadSome(FileHandle file, void* buffer, std::uint32_t count) {
  ssize_t got;
  do {
    got = read(Fd(file), buffer, count);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    SetLastErrorFromErrno(errno);
    return -1;
  }
  return static_cast<long>(got);
}

bool SystemEnv::WriteOnce(FileHandle file, const void* data, std::uint32_t count,
                         std::uint32_t* written) {
  // write() may stop short when the file system fills up; the next call
  // then tells why (ENOSPC), as WriteFile would have at once.
  const char* bytes = static_cast<const char*>(data);
  std::uint32_t done = 0;
  while (done < count) {
    const ssize_t put = write(Fd(file), bytes + done, count - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      *written = done;
      SetLastErrorFromErrno(put < 0 ? errno : ENOSPC);
      return false;
    }
    done += static_cast<std::uint32_t>(put);
  }
  *written = done;
  return true;
}

// One syncfs() writes back every file of the file system and commits its
// journal once, where a flush per file would commit it once per file.
bool SystemEnv::FlushWrittenFiles(const std::vector<std::string>& paths) {
  if (paths.empty()) return true;
  std::string p = PosixPath(paths.front());
  int fd = open(p.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    SetPathError(errno, p);
    return false;
  }
  bool ok = syncfs(fd) == 0;
  int error = errno;
  close(fd);
  if (!ok) SetLastErrorFromErrno(error);
  return ok;
}

bool SystemEnv::CloseFile(FileHandle file) {
  // On Linux the descriptor is gone even when close reports EINTR.
  if (close(Fd(file)) != 0 && errno != EINTR) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  return true;
}

bool SystemEnv::RemoveFile(const std::string& path) {
  std::string p = PosixPath(path);
  if (unlink(p.c_str()) != 0) {
    SetPathError(errno, p);
    return false;
  }
  return true;
}

bool SystemEnv::MoveNoReplace(const std::string& from, const std::string& to) {
  std::string f = PosixPath(from);
  std::string t = PosixPath(to);
  if (renameat2(AT_FDCWD, f.c_str(), AT_FDCWD, t.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS) {
    SetMoveError(errno, f, t);
    return false;
  }
  // The file system cannot rename without replacing: link is just as atomic
  // about an existing target.
  if (link(f.c_str(), t.c_str()) != 0) {
    SetMoveError(errno, f, t);
    return false;
  }
  if (unlink(f.c_str()) != 0) {
    int error = errno;
    unlink(t.c_str());
    SetLastErrorFromErrno(error);
    return false;
  }
  return true;
}

bool SystemEnv::MoveReplace(const std::string& from, const std::string& to) {
  std::string f = PosixPath(from);
  std::string t = PosixPath(to);
  if (rename(f.c_str(), t.c_str()) != 0) {
    SetMoveError(errno, f, t);
    return false;
  }
  return true;
}

// A directory made by root belongs to the machine root's owner: the spool
// directories that the set-up creates are the gateway's.
bool SystemEnv::MakeDirectory(const std::string& path) {
  std::string p = PosixPath(path);
  if (mkdir(p.c_str(), 0777) != 0) {
    SetPathError(errno, p);
    return false;
  }
  if (const int error = GiveDirectoryToMachineRootOwner(p); error != 0) {
    SetLastErrorFromErrno(error);
    return false;
  }
  return true;
}

bool SystemEnv::FlushDirectory(const std::string& path) {
  std::string p = PosixPath(path);
  int fd = open(p.c_str(), O_DIRECTORY | O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    SetPathError(errno, p);
    return false;
  }
  bool ok = fsync(fd) == 0;
  int error = errno;
  close(fd);
  if (!ok) SetLastErrorFromErrno(error);
  return ok;
}

bool SystemEnv::ListDirectory(const std::string& pattern,
                             std::vector<std::string>* names) {
  std::string p = PosixPath(pattern);
  std::size_t slash = p.rfind('/');
  std::string name_pattern = slash == std::string::npos ? p : p.substr(slash + 1);
  DIR* dir = opendir(ParentOf(p).c_str());
  if (dir == nullptr) {
    // The directory itself is the missing path here.
    SetLastErrorFromErrno(errno == ENOENT ? ENOTDIR : errno);
    return false;
  }
  names->clear();
  // No flags: "*" matches names that begin with a dot too, as on Windows.
  while (const dirent* entry = readdir(dir)) {
    if (fnmatch(name_pattern.c_str(), entry->d_name, 0) == 0) {
      names->push_back(entry->d_name);
    }
  }
  closedir(dir);
  return true;
}

}  // namespace platform
