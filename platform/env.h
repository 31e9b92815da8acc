// The platform layer: everything the two programs use of their operating
// system, behind one small interface with one implementation per platform
// (platform/posix, platform/win32), chosen at build time.
//
// The calls keep Windows semantics wherever the programs rely on them:
// handles are plain values, failures set the calling thread's last error in
// Windows numbering (Win32 codes for files, registry and kernel objects,
// Windows Sockets codes from 10000 up for sockets and host lookup), and a
// call that succeeds leaves the last error as it was.
//
// Paths are built by the programs with backslashes; the POSIX backend turns
// every backslash into a slash.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace platform {

// Windows error codes the programs and tests look at.
enum : std::uint32_t {
  kErrorSuccess = 0,
  kErrorFileNotFound = 2,
  kErrorPathNotFound = 3,
  kErrorAccessDenied = 5,
  kErrorInvalidHandle = 6,
  kErrorInvalidData = 13,
  kErrorWriteFault = 29,
  kErrorFileExists = 80,
  kErrorInvalidParameter = 87,
  kErrorDiskFull = 112,
  kErrorAlreadyExists = 183,
  kErrorMoreData = 234,
  kErrorIoDevice = 1117,
  kWsaEnotsock = 10038,
  kWsaEnetdown = 10050,
  kWsaEtimedout = 10060,
  kWsaEconnrefused = 10061,
  kWsaEconnreset = 10054,
  kWsaHostNotFound = 11001,
  kWsaNoData = 11004,
};

// Registry.
using RegKey = std::uintptr_t;  // 0 is no key
enum class RegRoot { kLocalMachine };
enum class RegAccess { kQueryValue, kSetValue, kAllAccess };
enum class RegDisposition { kCreatedNewKey = 1, kOpenedExistingKey = 2 };
enum : std::uint32_t {
  kRegSz = 1,
  kRegExpandSz = 2,
  kRegBinary = 3,
  kRegDword = 4,
};

// Event log.
using EventSource = std::uintptr_t;  // 0 is no source
enum : std::uint16_t {
  kEventlogErrorType = 1,
  kEventlogWarningType = 2,
  kEventlogInformationType = 4,
};

// Kernel objects, files and sockets.
using Handle = std::uintptr_t;  // named semaphore; 0 is no handle
using Thread = std::uintptr_t;  // 0 is no thread
using Event = std::uintptr_t;   // 0 is no event
using FileHandle = std::intptr_t;
inline constexpr FileHandle kInvalidFile = -1;
using Socket = std::intptr_t;
inline constexpr Socket kInvalidSocket = -1;
inline constexpr int kSocketError = -1;
enum class SocketBuffer { kReceive, kSend };  // SO_RCVBUF, SO_SNDBUF
inline constexpr std::uint32_t kInaddrNone = 0xFFFFFFFFu;

// Memory and disk figures.
struct MemoryStatus {
  std::uint64_t total_physical_bytes = 0;
};
struct DiskFree {
  std::uint64_t available_clusters = 0;
  std::uint64_t sectors_per_cluster = 0;
  std::uint64_t bytes_per_sector = 0;
};

class Env {
 public:
  virtual ~Env() = default;

  // The backend of this build. Never destroyed.
  static Env* Default();

  // --- Last error (per thread, Windows numbering) ---
  virtual std::uint32_t LastError() = 0;
  virtual void SetLastErrorCode(std::uint32_t code) = 0;

  // --- Registry ---
  // Each returns a Windows status code (kErrorSuccess on success).
  virtual long RegOpen(RegRoot root, const std::string& path, RegAccess access,
                       RegKey* key) = 0;
  virtual long RegCreate(RegRoot root, const std::string& path, RegKey* key,
                         RegDisposition* disposition) = 0;
  // Reads a value into data (capacity *size bytes). On success *size is the
  // stored length and *type the stored type; when the buffer is too small
  // the result is kErrorMoreData, *size the length needed and data is left
  // unspecified. type may be null.
  virtual long RegQuery(RegKey key, const std::string& name,
                        std::uint32_t* type, unsigned char* data,
                        std::uint32_t* size) = 0;
  virtual long RegSet(RegKey key, const std::string& name, std::uint32_t type,
                      const unsigned char* data, std::uint32_t size) = 0;
  virtual long RegClose(RegKey key) = 0;

  // --- Event log ---
  virtual EventSource RegisterSource(const std::string& source) = 0;
  virtual bool Report(EventSource source, std::uint16_t type,
                      std::uint16_t category, std::uint32_t event_id,
                      const std::vector<std::string>& strings) = 0;
  virtual void DeregisterSource(EventSource source) = 0;

  // --- Kernel ---
  // Creates (or opens) the named semaphore. When one of that name exists
  // already, the handle is returned all the same and the last error is
  // kErrorAlreadyExists; otherwise the last error is set to 0. Returns 0 on
  // failure.
  virtual Handle CreateNamedSemaphore(const std::string& name,
                                      long initial_count, long maximum_count) = 0;
  virtual bool CloseHandleValue(Handle handle) = 0;
  // Starts a thread running body; 0 when it cannot be started.
  virtual Thread StartThread(std::function<void()> body) = 0;
  // Waits without a time limit until the thread has ended, then releases it.
  virtual void JoinThread(Thread thread) = 0;
  // A plain sleep, so that a faked clock can compress it.
  virtual void SleepMs(std::uint32_t milliseconds) = 0;
  // An unnamed event for two threads of the process: once signalled it stays
  // signalled (manual reset, never reset). 0 when it cannot be made.
  virtual Event NewEvent() = 0;
  virtual void SignalEvent(Event event) = 0;
  // Waits until the event is signalled or the time has passed; true when it
  // was signalled. On event 0 it is a plain sleep of the whole time. Like
  // SleepMs, a faked clock compresses the time (POSIX: a wait in poll()).
  virtual bool WaitForEvent(Event event, std::uint32_t milliseconds) = 0;
  virtual void CloseEvent(Event event) = 0;
  [[noreturn]] virtual void ExitProcess(int code) = 0;
  // Makes every file and directory that the process creates from now on
  // its owner's alone (POSIX: file-creation mask 077, so files 0600 and
  // directories 0700). Nothing on Windows, where new files inherit the
  // access rules of their directory. Each program calls it first.
  virtual void KeepNewFilesPrivate() = 0;

  // --- Files ---
  // Create-always, read/write, others may read meanwhile.
  virtual FileHandle CreateFileAlways(const std::string& path) = 0;
  // Opens an existing file for reading (others may read and write). Opening a
  // directory fails with kErrorAccessDenied.
  virtual FileHandle OpenForRead(const std::string& path) = 0;
  // One read call; returns the bytes read, 0 at the end, -1 on error.
  virtual long ReadSome(FileHandle file, void* buffer, std::uint32_t count) = 0;
  // One write call; *written receives the count written. As WriteFile on a
  // disk file, it writes every byte or fails: a full disk fails with
  // kErrorDiskFull, *written then holding what did go out.
  virtual bool WriteOnce(FileHandle file, const void* data,
                         std::uint32_t count, std::uint32_t* written) = 0;
  // Makes the data of files written and closed earlier durable, all of them
  // at once where the platform can: the POSIX backend syncs the file system
  // that holds the first (the files share one file system), the Win32
  // backend opens and flushes each. True for no file.
  virtual bool FlushWrittenFiles(const std::vector<std::string>& paths) = 0;
  virtual bool CloseFile(FileHandle file) = 0;
  virtual bool RemoveFile(const std::string& path) = 0;
  // Atomic; fails with kErrorAlreadyExists when the target exists.
  virtual bool MoveNoReplace(const std::string& from, const std::string& to) = 0;
  // Atomic; replaces an existing target.
  virtual bool MoveReplace(const std::string& from, const std::string& to) = 0;
  virtual bool MakeDirectory(const std::string& path) = 0;
  // Flushes a directory's entries to stable storage.
  virtual bool FlushDirectory(const std::string& path) = 0;
  // Lists the names matching pattern ("dir\*", or with a wildcard name part)
  // in file-system order, "." and ".." included. False when the directory
  // cannot be read.
  virtual bool ListDirectory(const std::string& pattern,
                             std::vector<std::string>* names) = 0;

  // --- Windows Sockets 1.1 ---
  // Returns 0 or the start-up error.
  virtual int SocketStartup() = 0;
  virtual void SocketCleanup() = 0;
  virtual Socket CreateStreamSocket() = 0;
  virtual int SetBufferSize(Socket socket, SocketBuffer which, int bytes) = 0;
  // The longest silence that connect, send and receive wait for; 0 waits
  // for ever. A wait that runs out fails with kWsaEtimedout and shuts the
  // socket down in both directions (the handle stays valid).
  virtual int SetSilenceLimit(Socket socket, std::uint32_t milliseconds) = 0;
  // address in network byte order; port in host order.
  virtual int Connect(Socket socket, std::uint32_t address,
                      std::uint16_t port) = 0;
  // One send / receive call: bytes moved, 0 (receive: closed by the peer),
  // or kSocketError. Never raises SIGPIPE.
  virtual int Send(Socket socket, const char* data, int length) = 0;
  virtual int Receive(Socket socket, char* buffer, int length) = 0;
  virtual int CloseSocket(Socket socket) = 0;
  // First IPv4 address of the host, network byte order. False with the last
  // error set (kWsaHostNotFound, kWsaEnetdown, ...).
  virtual bool LookupHost(const std::string& name, std::uint32_t* address) = 0;
  // Dotted-decimal text to an address in network byte order, or kInaddrNone.
  virtual std::uint32_t DottedToAddress(const std::string& text) = 0;

  // --- TLS on a connected socket ---
  // Makes the socket the client end of a TLS session (1.2 or later): the
  // handshake runs at once, within the socket's silence limit for each wait,
  // and from then on Send, Receive and CloseSocket go through TLS. The
  // server's chain is verified against the PEM certificates of ca_file, or
  // the system's store when it is empty, and its certificate must be issued
  // to server_name (dotted-decimal text: to that IP address). Bytes that
  // arrived before the handshake fail it. 0, or kSocketError with the cause
  // in TlsFailureText().
  virtual int StartTls(Socket socket, const std::string& server_name,
                       const std::string& ca_file) = 0;
  // The cause of this thread's last failed TLS handshake, send or receive,
  // in the TLS library's words.
  virtual std::string TlsFailureText() = 0;

  // --- Program files and machine figures ---
  // The version record of a program file named as on Windows ("Setwick.exe"),
  // as Name=Value entries. False when no such file or record is found.
  virtual bool ReadVersionRecord(const std::string& bare_name,
                                 std::map<std::string, std::string>* entries) = 0;
  virtual bool QueryMemory(MemoryStatus* status) = 0;
  // Drive of the current directory: 1 for A, 2 for B, 3 for C...
  virtual int CurrentDrive() = 0;
  // Free space of the drive whose root is given ("C:\").
  virtual bool QueryDiskFree(const std::string& root, DiskFree* free) = 0;
};

// Forwards every call to another Env; tests derive from it to replace a few.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(Env* target) : target_(target) {}
  Env* target() const { return target_; }

  std::uint32_t LastError() override { return target_->LastError(); }
  void SetLastErrorCode(std::uint32_t c) override { target_->SetLastErrorCode(c); }
  long RegOpen(RegRoot r, const std::string& p, RegAccess a, RegKey* k) override {
    return target_->RegOpen(r, p, a, k);
  }
  long RegCreate(RegRoot r, const std::string& p, RegKey* k,
                 RegDisposition* d) override {
    return target_->RegCreate(r, p, k, d);
  }
  long RegQuery(RegKey k, const std::string& n, std::uint32_t* t,
                unsigned char* d, std::uint32_t* s) override {
    return target_->RegQuery(k, n, t, d, s);
  }
  long RegSet(RegKey k, const std::string& n, std::uint32_t t,
              const unsigned char* d, std::uint32_t s) override {
    return target_->RegSet(k, n, t, d, s);
  }
  long RegClose(RegKey k) override { return target_->RegClose(k); }
  EventSource RegisterSource(const std::string& s) override {
    return target_->RegisterSource(s);
  }
  bool Report(EventSource s, std::uint16_t t, std::uint16_t c, std::uint32_t e,
              const std::vector<std::string>& v) override {
    return target_->Report(s, t, c, e, v);
  }
  void DeregisterSource(EventSource s) override { target_->DeregisterSource(s); }
  Handle CreateNamedSemaphore(const std::string& n, long i, long m) override {
    return target_->CreateNamedSemaphore(n, i, m);
  }
  bool CloseHandleValue(Handle h) override { return target_->CloseHandleValue(h); }
  Thread StartThread(std::function<void()> b) override {
    return target_->StartThread(std::move(b));
  }
  void JoinThread(Thread t) override { target_->JoinThread(t); }
  void SleepMs(std::uint32_t ms) override { target_->SleepMs(ms); }
  Event NewEvent() override { return target_->NewEvent(); }
  void SignalEvent(Event e) override { target_->SignalEvent(e); }
  bool WaitForEvent(Event e, std::uint32_t ms) override { return target_->WaitForEvent(e, ms); }
  void CloseEvent(Event e) override { target_->CloseEvent(e); }
  void ExitProcess(int code) override { target_->ExitProcess(code); }
  void KeepNewFilesPrivate() override { target_->KeepNewFilesPrivate(); }
  FileHandle CreateFileAlways(const std::string& p) override {
    return target_->CreateFileAlways(p);
  }
  FileHandle OpenForRead(const std::string& p) override {
    return target_->OpenForRead(p);
  }
  long ReadSome(FileHandle f, void* b, std::uint32_t c) override {
    return target_->ReadSome(f, b, c);
  }
  bool WriteOnce(FileHandle f, const void* d, std::uint32_t c,
                 std::uint32_t* w) override {
    return target_->WriteOnce(f, d, c, w);
  }
  bool FlushWrittenFiles(const std::vector<std::string>& p) override {
    return target_->FlushWrittenFiles(p);
  }
  bool CloseFile(FileHandle f) override { return target_->CloseFile(f); }
  bool RemoveFile(const std::string& p) override { return target_->RemoveFile(p); }
  bool MoveNoReplace(const std::string& f, const std::string& t) override {
    return target_->MoveNoReplace(f, t);
  }
  bool MoveReplace(const std::string& f, const std::string& t) override {
    return target_->MoveReplace(f, t);
  }
  bool MakeDirectory(const std::string& p) override { return target_->MakeDirectory(p); }
  bool FlushDirectory(const std::string& p) override { return target_->FlushDirectory(p); }
  bool ListDirectory(const std::string& p, std::vector<std::string>* n) override {
    return target_->ListDirectory(p, n);
  }
  int SocketStartup() override { return target_->SocketStartup(); }
  void SocketCleanup() override { target_->SocketCleanup(); }
  Socket CreateStreamSocket() override { return target_->CreateStreamSocket(); }
  int SetBufferSize(Socket s, SocketBuffer w, int b) override {
    return target_->SetBufferSize(s, w, b);
  }
  int SetSilenceLimit(Socket s, std::uint32_t ms) override {
    return target_->SetSilenceLimit(s, ms);
  }
  int Connect(Socket s, std::uint32_t a, std::uint16_t p) override {
    return target_->Connect(s, a, p);
  }
  int Send(Socket s, const char* d, int l) override { return target_->Send(s, d, l); }
  int Receive(Socket s, char* b, int l) override { return target_->Receive(s, b, l); }
  int CloseSocket(Socket s) override { return target_->CloseSocket(s); }
  bool LookupHost(const std::string& n, std::uint32_t* a) override {
    return target_->LookupHost(n, a);
  }
  std::uint32_t DottedToAddress(const std::string& t) override {
    return target_->DottedToAddress(t);
  }
  int StartTls(Socket s, const std::string& n, const std::string& c) override {
    return target_->StartTls(s, n, c);
  }
  std::string TlsFailureText() override { return target_->TlsFailureText(); }
  bool ReadVersionRecord(const std::string& n,
                         std::map<std::string, std::string>* e) override {
    return target_->ReadVersionRecord(n, e);
  }
  bool QueryMemory(MemoryStatus* s) override { return target_->QueryMemory(s); }
  int CurrentDrive() override { return target_->CurrentDrive(); }
  bool QueryDiskFree(const std::string& r, DiskFree* f) override {
    return target_->QueryDiskFree(r, f);
  }

 private:
  Env* target_;
};

// The Env the programs use: Env::Default() unless a test installed another.
Env& env();
// Installs an Env (nullptr restores the default); returns the previous one.
Env* SetEnv(Env* replacement);

}  // namespace platform
