// Threads, sleep, events, process exit and the file-creation mask.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <system_error>
#include <thread>

#include "platform/posix/posix_env.h"

namespace platform {

Thread SystemEnv::StartThread(std::function<void()> body) {
  try {
    return reinterpret_cast<Thread>(new std::thread(std::move(body)));
  } catch (const std::system_error& e) {
    SetLastErrorFromErrno(e.code().value());
    return 0;
  }
}

void SystemEnv::JoinThread(Thread thread) {
  if (thread == 0) return;
  auto* t = reinterpret_cast<std::thread*>(thread);
  t->join();
  delete t;
}

void SystemEnv::SleepMs(std::uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// An event is a pipe: signalled once a byte is in it, which nobody reads.
// The wait is a poll() on its reading end, which libfaketime compresses as
// it compresses a sleep (a condition variable's wait it would not).
namespace {
struct PipeEvent {
  int read_end;
  int write_end;
};

std::int64_t MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}
}  // namespace

Event SystemEnv::NewEvent() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
    SetLastErrorFromErrno(errno);
    return 0;
  }
  return reinterpret_cast<Event>(new PipeEvent{ends[0], ends[1]});
}

void SystemEnv::SignalEvent(Event event) {
  if (event == 0) return;
  // A second byte, should it be signalled twice, changes nothing.
  [[maybe_unused]] const ssize_t written =
      write(reinterpret_cast<PipeEvent*>(event)->write_end, "s", 1);
}

bool SystemEnv::WaitForEvent(Event event, std::uint32_t milliseconds) {
  pollfd ready{};
  ready.fd = event == 0 ? -1 : reinterpret_cast<PipeEvent*>(event)->read_end;  // -1: none
  ready.events = POLLIN;
  const std::int64_t end = MonotonicMs() + milliseconds;
  for (;;) {
    const std::int64_t left = end - MonotonicMs();
    const int result = poll(&ready, 1, left > 0 ? static_cast<int>(left) : 0);
    if (result > 0) return true;
    if (result == 0 || errno != EINTR) return false;
  }
}

void SystemEnv::CloseEvent(Event event) {
  if (event == 0) return;
  auto* pipe_event = reinterpret_cast<PipeEvent*>(event);
  close(pipe_event->read_end);
  close(pipe_event->write_end);
  delete pipe_event;
}

void SystemEnv::ExitProcess(int code) { std::exit(code); }

void SystemEnv::KeepNewFilesPrivate() { umask(077); }

}  // namespace platform
