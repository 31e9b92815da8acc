// The POSIX backend of the platform layer. The machine's registry, event log
// and named objects live under the machine root ($TALLOWMERE_ROOT, default
// /var/lib/tallowmere); see machine_root.h.
#pragma once

#include "platform/env.h"

namespace platform {

class PosixEnv final : public Env {
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

// Sets the calling thread's last error from errno (Win32 numbering for files
// and kernel objects).
void SetLastErrorFromErrno(int error);
// Same for socket calls (Windows Sockets numbering).
void SetSocketErrorFromErrno(int error);
// The TLS session of a socket (tls_posix.cc): the transfers of Send and
// Receive through it when the socket has one (true, with *result set), and
// its end when the socket closes.
bool TlsSend(Socket socket, const char* data, int length, int* result);
bool TlsReceive(Socket socket, char* buffer, int length, int* result);
void TlsForget(Socket socket);
// Waits at most ms (0: for ever) until the socket is ready for events; on a
// time-out sets kWsaEtimedout and shuts the socket down.
bool WaitForSocket(Socket socket, short events, std::uint32_t ms);
std::uint32_t SilenceLimitOf(Socket socket);
// Backslashes to slashes.
std::string PosixPath(const std::string& path);

}  // namespace platform
