// The backend of this build: one class over the whole interface, whose
// calls platform/posix or platform/win32 implements (a build compiles one of
// them). Backend helpers live in posix_env.h and win32_env.h.
#pragma once

#include "platform/env.h"

namespace platform {

class SystemEnv final : public Env {
 public:
  std::uint32_t LastError() override;
  void SetLastErrorCode(std::uint32_t code) override;

  long RegOpen(RegRoot root, const std::string& path, RegAccess access,
               RegKey* key) override;
  long RegCreate(RegRoot root, const std::string& path, RegKey* key,
                 RegDisposition* disposition) override;
  long RegQuery(RegKey key, const std::string& name, std::uint32_t* type,
                unsigned char* data, std::uint32_t* size) override;
  long RegSet(RegKey key, const std::string& name, std::uint32_t type,
              const unsigned char* data, std::uint32_t size) override;
  long RegClose(RegKey key) override;

  EventSource RegisterSource(const std::string& source) override;
  bool Report(EventSource source, std::uint16_t type, std::uint16_t category,
              std::uint32_t event_id,
              const std::vector<std::string>& strings) override;
  void DeregisterSource(EventSource source) override;

  Handle CreateNamedSemaphore(const std::string& name, long initial_count,
                              long maximum_count) override;
  bool CloseHandleValue(Handle handle) override;
  Thread StartThread(std::function<void()> body) override;
  void JoinThread(Thread thread) override;
  void SleepMs(std::uint32_t milliseconds) override;
  Event NewEvent() override;
  void SignalEvent(Event event) override;
  bool WaitForEvent(Event event, std::uint32_t milliseconds) override;
  void CloseEvent(Event event) override;
  [[noreturn]] void ExitProcess(int code) override;
  void KeepNewFilesPrivate() override;

  FileHandle CreateFileAlways(const std::string& path) override;
  FileHandle OpenForRead(const std::string& path) override;
  long ReadSome(FileHandle file, void* buffer, std::uint32_t count) override;
  bool WriteOnce(FileHandle file, const void* data, std::uint32_t count,
                 std::uint32_t* written) override;
  bool FlushWrittenFiles(const std::vector<std::string>& paths) override;
  bool CloseFile(FileHandle file) override;
  bool RemoveFile(const std::string& path) override;
  bool MoveNoReplace(const std::string& from, const std::string& to) override;
  bool MoveReplace(const std::string& from, const std::string& to) override;
  bool MakeDirectory(const std::string& path) override;
  bool FlushDirectory(const std::string& path) override;
  bool ListDirectory(const std::string& pattern,
                     std::vector<std::string>* names) override;

  int SocketStartup() override;
  void SocketCleanup() override;
  Socket CreateStreamSocket() override;
  int SetBufferSize(Socket socket, SocketBuffer which, int bytes) override;
  int SetSilenceLimit(Socket socket, std::uint32_t milliseconds) override;
  int Connect(Socket socket, std::uint32_t address, std::uint16_t port) override;
  int Send(Socket socket, const char* data, int length) override;
  int Receive(Socket socket, char* buffer, int length) override;
  int CloseSocket(Socket socket) override;
  bool LookupHost(const std::string& name, std::uint32_t* address) override;
  std::uint32_t DottedToAddress(const std::string& text) override;
  int StartTls(Socket socket, const std::string& server_name,
               const std::string& ca_file) override;
  std::string TlsFailureText() override;

  bool ReadVersionRecord(const std::string& bare_name,
                         std::map<std::string, std::string>* entries) override;
  bool QueryMemory(MemoryStatus* status) override;
  int CurrentDrive() override;
  bool QueryDiskFree(const std::string& root, DiskFree* free) override;
};

}  // namespace platform
