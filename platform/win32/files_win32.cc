// Files, directories and directory listings.
#include <windows.h>

#include "platform/win32/win32_env.h"

namespace platform {

namespace {

HANDLE ToHandle(FileHandle file) {
  return file == kInvalidFile ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(file);
}

FileHandle FromHandle(HANDLE handle) {
  return handle == INVALID_HANDLE_VALUE ? kInvalidFile
                                        : reinterpret_cast<FileHandle>(handle);
}

}  // namespace

FileHandle SystemEnv::CreateFileAlways(const std::string& path) {
  return FromHandle(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
}

FileHandle SystemEnv::OpenForRead(const std::string& path) {
  // Without FILE_FLAG_BACKUP_SEMANTICS a directory is refused with
  // ERROR_ACCESS_DENIED.
  return FromHandle(CreateFileA(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

long SystemEnv::ReadSome(FileHandle file, void* buffer, std::uint32_t count) {
  DWORD read = 0;
  if (!ReadFile(ToHandle(file), buffer, count, &read, nullptr)) return -1;
  return static_cast<long>(read);
}

bool SystemEnv::WriteOnce(FileHandle file, const void* data, std::uint32_t count,
                         std::uint32_t* written) {
  DWORD done = 0;
  const bool ok = WriteFile(ToHandle(file), data, count, &done, nullptr) != FALSE;
  if (written != nullptr) *written = done;
  return ok;
}

// Windows has no flush of a whole volume for an ordinary account: each file
// is opened and flushed on its own.
bool SystemEnv::FlushWrittenFiles(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool flushed = FlushFileBuffers(file) != FALSE;
    const DWORD error = GetLastError();
    CloseHandle(file);
    if (!flushed) {
      SetLastError(error);
      return false;
    }
  }
  return true;
}

bool SystemEnv::CloseFile(FileHandle file) {
  return CloseHandle(ToHandle(file)) != FALSE;
}

bool SystemEnv::RemoveFile(const std::string& path) {
  return DeleteFileA(path.c_str()) != FALSE;
}

bool SystemEnv::MoveNoReplace(const std::string& from, const std::string& to) {
  return MoveFileA(from.c_str(), to.c_str()) != FALSE;
}

bool SystemEnv::MoveReplace(const std::string& from, const std::string& to) {
  return MoveFileExA(from.c_str(), to.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

bool SystemEnv::MakeDirectory(const std::string& path) {
  return CreateDirectoryA(path.c_str(), nullptr) != FALSE;
}

bool SystemEnv::FlushDirectory(const std::string& path) {
  const SavedLastError before;
  // Flushing needs write access to the directory, which an ordinary account
  // may lack; NTFS journals directory entries itself, so a refused open is
  // no failure and leaves the entries to the file system.
  HANDLE directory = CreateFileA(
      path.c_str(), GENERIC_WRITE,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (directory == INVALID_HANDLE_VALUE) {
    if (GetLastError() != ERROR_ACCESS_DENIED) return false;
    before.Restore();
    return true;
  }
  const bool flushed = FlushFileBuffers(directory) != FALSE;
  if (!flushed) {
    const DWORD error = GetLastError();
    CloseHandle(directory);
    SetLastError(error);
    return false;
  }
  CloseHandle(directory);
  return true;
}

bool SystemEnv::ListDirectory(const std::string& pattern,
                             std::vector<std::string>* names) {
  const SavedLastError before;
  names->clear();
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    // A readable directory with no matching name.
    if (GetLastError() != ERROR_FILE_NOT_FOUND) return false;
    before.Restore();
    return true;
  }
  do {
    names->push_back(found.cFileName);
  } while (FindNextFileA(search, &found));
  const DWORD error = GetLastError();
  FindClose(search);
  if (error != ERROR_NO_MORE_FILES) {
    SetLastError(error);
    return false;
  }
  before.Restore();
  return true;
}

}  // namespace platform
