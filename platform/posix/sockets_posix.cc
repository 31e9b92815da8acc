// STUB: not built yet; every call fails.
#include "platform/posix/posix_env.h"

namespace platform {

int PosixEnv::SocketStartup() {
  SetLastErrorCode(50);  // ERROR_NOT_SUPPORTED
  return 0;
}

void PosixEnv::SocketCleanup() {
  SetLastErrorCode(50);  // ERROR_NOT_SUPPORTED
}

Socket PosixEnv::CreateStreamSocket() {
  SetLastErrorCode(50);  // ERROR_NOT_SUPPORTED
  return kInvalidSocket;
}

int PosixEnv::SetBufferSize(Socket, SocketBuffer, int) {
  SetLastErrorCode(50);  // ERROR_NOT_SUPPORTED
  return kSocketError;
}

int PosixEnv::SetSilenceLimit(Socket, std::uint32_t) {
  SetLastErrorCode(50);  // ERROR_NOT_SUPPORTED
  return kSocketError;
}

int PosixEnv::Connect(Socket, std::uint32_t, std::uint16_t) {
  SetLastErrorCode(50);  // ERROR_NOT_SUPPORTED
  return kSocketError;
}

int PosixEnv::Send(Socket, const char*, int) {
  SetLastErrorCode(50);  // ERROR_NOT_SUPPORTED
  return kSocketError;
}

int PosixEnv::Receive(Socket, char*, int) {
  SetLastErrorCode(50);  // ERROR_NOT_SUPPORTED
  return kSocketError;
}

int PosixEnv::CloseSocket(Socket) {
  SetLastErrorCode(50);  // ERROR_NOT_SUPPORTED
  return kSocketError;
}

bool PosixEnv::LookupHost(const std::string&, std::uint32_t*) {
  SetLastErrorCode(50);  // ERROR_NOT_SUPPORTED
  return false;
}

std::uint32_t PosixEnv::DottedToAddress(const std::string&) {
  SetLastErrorCode(50);  // ERROR_NOT_SUPPORTED
  return kInaddrNone;
}

}  // namespace platform
