// Threads, sleep, process exit and the file-creation mask.
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <system_error>
#include <thread>

#include "platform/posix/posix_env.h"

namespace platform {

Thread PosixEnv::StartThread(std::function<void()> body) {
  try {
    return reinterpret_cast<Thread>(new std::thread(std::move(body)));
  } catch (const std::system_error& e) {
    SetLastErrorFromErrno(e.code().value());
    return 0;
  }
}

void PosixEnv::JoinThread(Thread thread) {
  if (thread == 0) return;
  auto* t = reinterpret_cast<std::thread*>(thread);
  t->join();
  delete t;
}

void PosixEnv::SleepMs(std::uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void PosixEnv::ExitProcess(int code) { std::exit(code); }

void PosixEnv::KeepNewFilesPrivate() { umask(077); }

}  // namespace platform
