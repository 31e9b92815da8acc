// The registry on POSIX: HKEY_LOCAL_MACHINE as the REGEDIT4 file
// $TALLOWMERE_ROOT/registry.reg. Readers read the current file; writers
// re-read it under an exclusive flock on registry.reg.lock, write the whole
// new text to a temporary file in the same directory, flush it and rename it
// over, so a reader sees the old file or the new one, never half of one.
// The new file keeps the owner, group and mode of the one it replaces.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>

#include "platform/posix/machine_root.h"
#include "platform/posix/posix_env.h"
#include "platform/regedit_file.h"

namespace platform {

namespace {

constexpr char kRootName[] = "HKEY_LOCAL_MACHINE";
constexpr char kFileName[] = "registry.reg";
constexpr char kLockName[] = "registry.reg.lock";
constexpr char kTemporaryName[] = "registry.reg.new";
constexpr mode_t kFileMode = 0600;

// What a RegKey points to.
struct OpenKey {
  std::string path;  // "HKEY_LOCAL_MACHINE\\..." as the caller spelled it
  RegAccess access;
};

long Fail(long status) {
  Env::Default()->SetLastErrorCode(static_cast<std::uint32_t>(status));
  return status;
}

long FailFromErrno(int error) {
  SetLastErrorFromErrno(error);
  return static_cast<long>(Env::Default()->LastError());
}

// A name the file can hold: no NUL, CR or LF.
bool IsStorableName(const std::string& name) {
  return name.find_first_of(std::string("\0\r\n", 3)) == std::string::npos;
}

// The full path of a subkey of HKEY_LOCAL_MACHINE, or "" when the subkey
// path is not one (an empty component, a character the file cannot hold).
std::string FullPath(const std::string& subkey) {
  if (subkey.empty()) return kRootName;
  if (!IsStorableName(subkey) || subkey.front() == '\\' || subkey.back() == '\\' ||
      subkey.find("\\\\") != std::string::npos) {
    return "";
  }
  return std::string(kRootName) + "\\" + subkey;
}

bool KeyExists(const regedit::Document& document, const std::string& path) {
  return path == kRootName || document.KeyExists(path);
}

OpenKey* KeyObject(RegKey key) { return reinterpret_cast<OpenKey*>(key); }

RegKey NewKey(std::string path, RegAccess access) {
  return reinterpret_cast<RegKey>(new OpenKey{std::move(path), access});
}

// Reads the registry file; a missing file is an empty registry.
long ReadRegistry(regedit::Document* document) {
  const int fd = open(MachinePath(kFileName).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) return FailFromErrno(errno);
    *document = regedit::Document();
    return kErrorSuccess;
  }
  std::string text;
  char buffer[8192];
  while (true) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      close(fd);
      return FailFromErrno(error);
    }
    text.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  *document = regedit::Parse(text);
  return kErrorSuccess;
}

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// The owner and group (when set_owner) and the mode of a new registry file.
struct FileOwnership {
  bool set_owner = false;
  uid_t uid = 0;
  gid_t gid = 0;
  mode_t mode = kFileMode;
};

// Those of the file it replaces, so that a gateway running as the machine
// root's owner still reads what root saved; a first file gets 0600 and,
// written by root, the machine root's owner. 0 or an errno.
int OwnershipToKeep(FileOwnership* ownership) {
  struct stat st;
  if (lstat(MachinePath(kFileName).c_str(), &st) != 0) {
    if (errno != ENOENT) return errno;
  } else if (S_ISREG(st.st_mode)) {
    *ownership = FileOwnership{true, st.st_uid, st.st_gid, st.st_mode & 07777};
    return 0;
  }
  // No file, or something else under its name (a symbolic link is replaced,
  // never followed): a first file.
  *ownership = FileOwnership();
  ownership->set_owner = ForeignMachineRootOwner(&ownership->uid, &ownership->gid);
  return 0;
}

// Gives the new file its ownership; a change this process may not make fails
// the write rather than leave a file the gateway may not be able to read.
bool TakeOwnership(int fd, const FileOwnership& ownership) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  if (ownership.set_owner && (st.st_uid != ownership.uid || st.st_gid != ownership.gid) &&
      fchown(fd, ownership.uid, ownership.gid) != 0) {
    return false;
  }
  // Exactly this mode whatever the umask: the file holds the POP3 password.
  return fchmod(fd, ownership.mode) == 0;
}

// Replaces the registry file with the document. Called under the lock.
long WriteRegistry(const regedit::Document& document) {
  FileOwnership ownership;
  if (const int error = OwnershipToKeep(&ownership); error != 0) return FailFromErrno(error);
  const std::string temporary = MachinePath(kTemporaryName);
  // A fresh file of its own: whatever an interrupted writer (or anybody
  // else) left under the name, a symbolic link included, is not written
  // through.
  if (unlink(temporary.c_str()) != 0 && errno != ENOENT) return FailFromErrno(errno);
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      kFileMode);
  if (fd < 0) return FailFromErrno(errno);
  bool written = TakeOwnership(fd, ownership) && WriteAll(fd, regedit::Serialize(document)) &&
                 fsync(fd) == 0;
  int error = errno;
  if (close(fd) != 0 && written) {
    written = false;
    error = errno;
  }
  if (written && rename(temporary.c_str(), MachinePath(kFileName).c_str()) != 0) {
    written = false;
    error = errno;
  }
  if (!written) {
    unlink(temporary.c_str());
    return FailFromErrno(error);
  }
  return kErrorSuccess;
}

// Read-modify-write under the exclusive lock: change edits the current
// document and tells whether it is to be written back.
long UpdateRegistry(const std::function<bool(regedit::Document*)>& change) {
  if (const int error = MakeMachineDirectory(""); error != 0) return FailFromErrno(error);
  const std::string lock_path = MachinePath(kLockName);
  const int lock = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kFileMode);
  if (lock < 0) return FailFromErrno(errno);
  GiveFileToMachineRootOwner(lock, lock_path);  // so that its owner can write the registry too
  int locked;
  do {
    locked = flock(lock, LOCK_EX);
  } while (locked != 0 && errno == EINTR);
  long status = locked == 0 ? long{kErrorSuccess} : FailFromErrno(errno);
  regedit::Document document;
  if (status == kErrorSuccess) status = ReadRegistry(&document);
  if (status == kErrorSuccess && change(&document)) status = WriteRegistry(document);
  close(lock);  // releases the lock
  return status;
}

}  // namespace

long SystemEnv::RegOpen(RegRoot, const std::string& path, RegAccess access, RegKey* key) {
  const std::string full = FullPath(path);
  if (key == nullptr || full.empty()) return Fail(kErrorInvalidParameter);
  regedit::Document document;
  if (const long status = ReadRegistry(&document); status != kErrorSuccess) return status;
  if (!KeyExists(document, full)) return Fail(kErrorFileNotFound);
  *key = NewKey(full, access);
  return kErrorSuccess;
}

long SystemEnv::RegCreate(RegRoot, const std::string& path, RegKey* key,
                         RegDisposition* disposition) {
  const std::string full = FullPath(path);
  if (key == nullptr || full.empty()) return Fail(kErrorInvalidParameter);
  regedit::Document document;
  if (const long status = ReadRegistry(&document); status != kErrorSuccess) return status;
  bool created = false;
  if (!KeyExists(document, full)) {
    const long status = UpdateRegistry([&](regedit::Document* current) {
      created = !KeyExists(*current, full);
      if (created) current->keys.push_back(regedit::Key{full, {}});
      return created;
    });
    if (status != kErrorSuccess) return status;
  }
  if (disposition != nullptr) {
    *disposition = created ? RegDisposition::kCreatedNewKey : RegDisposition::kOpenedExistingKey;
  }
  *key = NewKey(full, RegAccess::kAllAccess);
  return kErrorSuccess;
}

long SystemEnv::RegQuery(RegKey key, const std::string& name, std::uint32_t* type,
                        unsigned char* data, std::uint32_t* size) {
  if (key == 0) return Fail(kErrorInvalidHandle);
  const OpenKey& open_key = *KeyObject(key);
  if (open_key.access == RegAccess::kSetValue) return Fail(kErrorAccessDenied);
  if (data != nullptr && size == nullptr) return Fail(kErrorInvalidParameter);
  regedit::Document document;
  if (const long status = ReadRegistry(&document); status != kErrorSuccess) return status;
  const regedit::Key* stored_key = document.FindKey(open_key.path);
  const regedit::Value* value = stored_key ? stored_key->FindValue(name) : nullptr;
  if (value == nullptr) return Fail(kErrorFileNotFound);
  if (type != nullptr) *type = value->type;
  if (size == nullptr) return kErrorSuccess;
  const auto needed = static_cast<std::uint32_t>(value->data.size());
  const bool fits = needed <= *size;
  *size = needed;
  if (data == nullptr) return kErrorSuccess;
  if (!fits) return Fail(kErrorMoreData);
  std::copy(value->data.begin(), value->data.end(), data);
  return kErrorSuccess;
}

long SystemEnv::RegSet(RegKey key, const std::string& name, std::uint32_t type,
                      const unsigned char* data, std::uint32_t size) {
  if (key == 0) return Fail(kErrorInvalidHandle);
  const OpenKey& open_key = *KeyObject(key);
  if (open_key.access == RegAccess::kQueryValue) return Fail(kErrorAccessDenied);
  if (!IsStorableName(name) || (data == nullptr && size > 0)) {
    return Fail(kErrorInvalidParameter);
  }
  return UpdateRegistry([&](regedit::Document* document) {
    regedit::Key* stored_key = document->FindKey(open_key.path);
    if (stored_key == nullptr) {
      document->keys.push_back(regedit::Key{open_key.path, {}});
      stored_key = &document->keys.back();
    }
    regedit::Value* value = stored_key->FindValue(name);
    if (value == nullptr) {
      stored_key->values.push_back(regedit::Value{name, 0, {}});
      value = &stored_key->values.back();
    }
    value->type = type;
    value->data.assign(data, data + size);
    return true;
  });
}

long SystemEnv::RegClose(RegKey key) {
  if (key == 0) return Fail(kErrorInvalidHandle);
  delete KeyObject(key);
  return kErrorSuccess;
}

}  // namespace platform
