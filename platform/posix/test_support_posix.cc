// Server sockets, loopback addresses and child processes for the tests.
#include "platform/test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace platform::testing {

namespace {

// poll() for one descriptor, resumed after a signal: true when ready.
bool PollFor(int fd, short events, int timeout_ms) {
  pollfd pfd{fd, events, 0};
  int ready;
  do {
    ready = poll(&pfd, 1, timeout_ms);
  } while (ready < 0 && errno == EINTR);
  return ready > 0;
}

// A listening TCP socket on address:port, or -1 with errno set.
int ListenOn(const std::string& address, std::uint16_t port, int backlog) {
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(port);
  if (inet_pton(AF_INET, address.c_str(), &at.sin_addr) != 1) {
    errno = EINVAL;
    return -1;
  }
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 ||
      listen(fd, backlog) != 0) {
    int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

class PosixServerConnection final : public ServerConnection {
 public:
  explicit PosixServerConnection(int fd) : fd_(fd) {}
  ~PosixServerConnection() override { Close(); }

  int Receive(char* buffer, int length, int timeout_ms) override {
    if (!PollFor(fd_, POLLIN, timeout_ms)) return -1;
    ssize_t got;
    do {
      got = recv(fd_, buffer, static_cast<std::size_t>(length), 0);
    } while (got < 0 && errno == EINTR);
    return got < 0 ? -1 : static_cast<int>(got);
  }

  bool SendAll(const std::string& data) override {
    std::size_t sent = 0;
    while (sent < data.size()) {
      ssize_t n = send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      sent += static_cast<std::size_t>(n);
    }
    return true;
  }

  void ShutdownWrite() override { shutdown(fd_, SHUT_WR); }

  void Close() override {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

  void Abort() override {
    linger reset{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    Close();
  }

 private:
  int fd_;
};

class PosixListener final : public Listener {
 public:
  explicit PosixListener(int fd) : fd_(fd) {}
  ~PosixListener() override { close(fd_); }

  std::unique_ptr<ServerConnection> Accept(int timeout_ms) override {
    if (!PollFor(fd_, POLLIN, timeout_ms)) return nullptr;
    int fd = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return nullptr;
    return std::make_unique<PosixServerConnection>(fd);
  }

 private:
  int fd_;
};

class PosixChildProcess final : public ChildProcess {
 public:
  explicit PosixChildProcess(pid_t pid) : pid_(pid) {}
  ~PosixChildProcess() override {
    if (!reaped_) {
      Kill();
      Reap(0);
    }
  }

  ProcessResult Wait(int timeout_ms) override {
    if (reaped_) return result_;
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(timeout_ms);
    // Polled, with short naps: a child ends at any moment and the test
    // should learn it soon after.
    auto nap = std::chrono::milliseconds(1);
    while (!Reap(WNOHANG)) {
      if (std::chrono::steady_clock::now() >= deadline) {
        Kill();
        Reap(0);
        result_.timed_out = true;
        break;
      }
      std::this_thread::sleep_for(nap);
      nap = std::min(nap * 2, std::chrono::milliseconds(10));
    }
    return result_;
  }

  void Kill() override {
    if (!reaped_) kill(pid_, SIGKILL);
  }

  long Pid() const override { return pid_; }

 private:
  // waitpid with the given options; true once the child has been reaped.
  bool Reap(int options) {
    int status = 0;
    pid_t done;
    do {
      done = waitpid(pid_, &status, options);
    } while (done < 0 && errno == EINTR);
    if (done != pid_) return false;
    reaped_ = true;
    result_.exited = WIFEXITED(status);
    result_.exit_code = result_.exited ? WEXITSTATUS(status) : -1;
    result_.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return true;
  }

  pid_t pid_;
  bool reaped_ = false;
  ProcessResult result_;
};

// The current environment with the given entries put in: "NAME=value" sets
// a variable, a bare "NAME" removes it.
std::vector<std::string> MergedEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> merged;
  for (char** e = environ; *e != nullptr; ++e) merged.emplace_back(*e);
  for (const std::string& entry : extra) {
    std::size_t equals = entry.find('=');
    std::string prefix = entry.substr(0, equals) + "=";
    std::erase_if(merged, [&](const std::string& existing) {
      return existing.starts_with(prefix);
    });
    if (equals != std::string::npos) merged.push_back(entry);
  }
  return merged;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

std::unique_ptr<Listener> Listener::Bind(const std::string& address,
                                         std::uint16_t port, int backlog) {
  int fd = ListenOn(address, port, backlog);
  if (fd < 0) return nullptr;
  return std::make_unique<PosixListener>(fd);
}

std::string FreshLoopbackAddress(const std::vector<std::uint16_t>& ports) {
  // 127.X.Y.Z: Y.Z from the process id keeps concurrent test processes
  // apart, X counts this process's calls. Whatever is taken all the same is
  // found by binding and skipped.
  static std::atomic<unsigned> calls{0};
  constexpr unsigned kAttempts = 254 * 16;
  for (unsigned attempt = 0; attempt < kAttempts; ++attempt) {
    unsigned n = calls++;
    unsigned x = 1 + n % 254;
    unsigned yz = (static_cast<unsigned>(getpid()) + n / 254) & 0xFFFF;
    std::string address = "127." + std::to_string(x) + "." +
                          std::to_string(yz >> 8) + "." + std::to_string(yz & 0xFF);
    bool free = true;
    for (std::uint16_t port : ports) {
      int fd = ListenOn(address, port, 1);
      if (fd < 0) {
        if (errno != EADDRINUSE && errno != EADDRNOTAVAIL) {
          throw std::runtime_error("cannot bind " + address + ":" +
                                   std::to_string(port) + ": " + std::strerror(errno));
        }
        free = false;
        break;
      }
      close(fd);
    }
    if (free) return address;
  }
  throw std::runtime_error("no free loopback address");
}

void SetEnvironmentVariable(const std::string& name, const std::string& value) {
  setenv(name.c_str(), value.c_str(), 1);
}

void UnsetEnvironmentVariable(const std::string& name) { unsetenv(name.c_str()); }

std::unique_ptr<ChildProcess> ChildProcess::Start(
    const std::vector<std::string>& argv,
    const std::vector<std::string>& environment) {
  if (argv.empty()) return nullptr;
  std::vector<std::string> args = argv;
  std::vector<std::string> env = MergedEnvironment(environment);
  std::vector<char*> arg_pointers = Pointers(args);
  std::vector<char*> env_pointers = Pointers(env);
  pid_t pid;
  if (posix_spawnp(&pid, args[0].c_str(), nullptr, nullptr, arg_pointers.data(),
                   env_pointers.data()) != 0) {
    return nullptr;
  }
  return std::make_unique<PosixChildProcess>(pid);
}

ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment,
                         int timeout_ms) {
  std::unique_ptr<ChildProcess> child = ChildProcess::Start(argv, environment);
  if (!child) return ProcessResult{};
  return child->Wait(timeout_ms);
}

std::uint64_t PeakResidentBytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmHWM:")) return std::strtoull(line.c_str() + 6, nullptr, 10) * 1024;
  }
  return 0;
}

FileOwnership OwnershipOf(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return {};
  return {st.st_uid, st.st_gid, st.st_mode & 07777u};
}

bool SetOwner(const std::string& path, unsigned uid, unsigned gid) {
  return lchown(path.c_str(), uid, gid) == 0;
}

bool RunningAsRoot() { return geteuid() == 0; }

}  // namespace platform::testing
