// STUB: not built yet; every call fails.
#include "platform/posix/posix_env.h"

namespace platform {

FileHandle PosixEnv::CreateFileAlways(const std::string&) {
  SetLastErrorCode(50);  // ERROR_NOT_SUPPORTED
  return kInvalidFile;
}

FileHandle PosixEnv::OpenForRead(const std::string&) {
  SetLastErrorCode(50);  // ERROR_NOT_SUPPORTED
  return kInvalidFile;
}

long PosixEnv::ReadSome(FileHandle, void*, std::uint32_t) {
  SetLastErrorCode(50);  // ERROR_NOT_SUPPORTED
  return -1;
}

bool PosixEnv::WriteOnce(FileHandle, const void*, std::uint32_t, std::uint32_t*) {
  SetLastErrorCode(50);  // ERROR_NOT_SUPPORTED
  return false;
}

bool PosixEnv::FlushFile(FileHandle) {
  SetLastErrorCode(50);  // ERROR_NOT_SUPPORTED
  return false;
}

bool PosixEnv::CloseFile(FileHandle) {
  SetLastErrorCode(50);  // ERROR_NOT_SUPPORTED
  return false;
}

bool PosixEnv::RemoveFile(const std::string&) {
  SetLastErrorCode(50);  // ERROR_NOT_SUPPORTED
  return false;
}

bool PosixEnv::MoveNoReplace(const std::string&, const std::string&) {
  SetLastErrorCode(50);  // ERROR_NOT_SUPPORTED
  return false;
}

bool PosixEnv::MoveReplace(const std::string&, const std::string&) {
  SetLastErrorCode(50);  // ERROR_NOT_SUPPORTED
  return false;
}

bool PosixEnv::MakeDirectory(const std::string&) {
  SetLastErrorCode(50);  // ERROR_NOT_SUPPORTED
  return false;
}

bool PosixEnv::FlushDirectory(const std::string&) {
  SetLastErrorCode(50);  // ERROR_NOT_SUPPORTED
  return false;
}

bool PosixEnv::ListDirectory(const std::string&, std::vector<std::string>*) {
  SetLastErrorCode(50);  // ERROR_NOT_SUPPORTED
  return false;
}

}  // namespace platform
