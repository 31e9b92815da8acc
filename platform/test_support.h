// Server sockets and child processes for the tests' scripted servers and
// runs of the real programs. POSIX only; not part of the programs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform::testing {

class ServerConnection {
 public:
  virtual ~ServerConnection() = default;
  // One receive of up to length bytes, waiting at most timeout_ms: the bytes
  // received, 0 when the peer closed, -1 on error or time-out.
  virtual int Receive(char* buffer, int length, int timeout_ms) = 0;
  // Sends every byte (several calls if need be); false on error.
  virtual bool SendAll(const std::string& data) = 0;
  // Stops sending; the peer sees the end of the stream.
  virtual void ShutdownWrite() = 0;
  virtual void Close() = 0;
  // Closes with a reset: the peer's next receive or send fails.
  virtual void Abort() = 0;
};

class Listener {
 public:
  virtual ~Listener() = default;
  // Listens on address:port (dotted-decimal address) with room for backlog
  // connections not yet accepted. nullptr when it cannot (the address and
  // port are taken, say).
  static std::unique_ptr<Listener> Bind(const std::string& address,
                                        std::uint16_t port, int backlog = 64);
  // Waits at most timeout_ms for a connection; nullptr on time-out.
  virtual std::unique_ptr<ServerConnection> Accept(int timeout_ms) = 0;
};

// A loopback address of this process's own (127.x.y.z, never 127.0.0.x) on
// which the given ports can be bound right now; each call gives another.
// Throws std::runtime_error when the ports cannot be bound on any address
// (no right to bind them, say).
std::string FreshLoopbackAddress(const std::vector<std::uint16_t>& ports);

// Sets or removes a variable of this process's environment.
void SetEnvironmentVariable(const std::string& name, const std::string& value);
void UnsetEnvironmentVariable(const std::string& name);

struct ProcessResult {
  bool exited = false;    // ended by exit(); exit_code is valid
  int exit_code = -1;     // 0..255
  int signal = 0;         // the signal that ended it, when !exited
  bool timed_out = false; // killed because it ran past the time limit
};

// A started program. Destroying one that still runs kills it.
class ChildProcess {
 public:
  virtual ~ChildProcess() = default;
  // Starts program with argv (argv[0] first, looked up in PATH when it has no
  // slash) in the current environment changed by the given entries: each
  // "NAME=value" sets a variable, a bare "NAME" removes one. nullptr when the
  // program cannot be started.
  static std::unique_ptr<ChildProcess> Start(
      const std::vector<std::string>& argv,
      const std::vector<std::string>& environment);
  // Waits at most timeout_ms; past that the child is killed (SIGKILL). Once
  // the child has ended, every call returns the same result.
  virtual ProcessResult Wait(int timeout_ms) = 0;
  virtual void Kill() = 0;  // SIGKILL
  virtual long Pid() const = 0;
};

// Runs a program to its end (bounded by timeout_ms). A program that cannot
// be started gives a result with exited false and signal 0.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment,
                         int timeout_ms);

// The peak resident set size of this process so far, in bytes (VmHWM of
// /proc/self/status); 0 when it cannot be read.
std::uint64_t PeakResidentBytes();

// Who owns a file and its permission bits (not following a last symbolic
// link); all zero when it cannot be looked at.
struct FileOwnership {
  unsigned uid = 0;
  unsigned gid = 0;
  unsigned mode = 0;  // permission bits only (07777)
  bool operator==(const FileOwnership&) const = default;
};
FileOwnership OwnershipOf(const std::string& path);
// Changes owner and group (not following a last symbolic link); false on failure.
bool SetOwner(const std::string& path, unsigned uid, unsigned gid);
bool RunningAsRoot();

}  // namespace platform::testing
