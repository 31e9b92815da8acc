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
};

class Listener {
 public:
  virtual ~Listener() = default;
  // Listens on address:port (dotted-decimal address). nullptr when it cannot
  // (the address and port are taken, say).
  static std::unique_ptr<Listener> Bind(const std::string& address,
                                        std::uint16_t port);
  // Waits at most timeout_ms for a connection; nullptr on time-out.
  virtual std::unique_ptr<ServerConnection> Accept(int timeout_ms) = 0;
};

// A loopback address of this process's own (127.x.y.z, never 127.0.0.1) on
// which the given ports can be bound right now; each call gives another.
std::string FreshLoopbackAddress(const std::vector<std::uint16_t>& ports);

struct ProcessResult {
  bool exited = false;    // ended by exit(); exit_code is valid
  int exit_code = -1;     // 0..255
  int signal = 0;         // the signal that ended it, when !exited
  bool timed_out = false; // killed because it ran past the time limit
};

class ChildProcess {
 public:
  virtual ~ChildProcess() = default;
  // Starts program with argv (argv[0] first) and environment entries
  // "NAME=value" added to (or replacing in) the current environment.
  static std::unique_ptr<ChildProcess> Start(
      const std::vector<std::string>& argv,
      const std::vector<std::string>& environment);
  // Waits at most timeout_ms; past that the child is killed (SIGKILL).
  virtual ProcessResult Wait(int timeout_ms) = 0;
  virtual void Kill() = 0;  // SIGKILL
  virtual long Pid() const = 0;
};

// Runs a program to its end (bounded by timeout_ms).
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment,
                         int timeout_ms);

}  // namespace platform::testing
