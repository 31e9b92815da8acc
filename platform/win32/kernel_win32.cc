// Named semaphore, threads, sleep, events and process exit.
#include <windows.h>

#include <memory>

#include "platform/win32/win32_env.h"

namespace platform {

namespace {

HANDLE ToHandle(std::uintptr_t value) { return reinterpret_cast<HANDLE>(value); }

// Runs the thread's body, which StartThread handed over on the heap.
DWORD WINAPI RunBody(LPVOID parameter) {
  std::unique_ptr<std::function<void()>> body(
      static_cast<std::function<void()>*>(parameter));
  (*body)();
  return 0;
}

}  // namespace

Handle SystemEnv::CreateNamedSemaphore(const std::string& name,
                                      long initial_count, long maximum_count) {
  // Cleared first, so that a new object leaves 0 and an existing one
  // ERROR_ALREADY_EXISTS, whatever the system does with a new one.
  SetLastError(ERROR_SUCCESS);
  return reinterpret_cast<Handle>(
      CreateSemaphoreA(nullptr, initial_count, maximum_count, name.c_str()));
}

bool SystemEnv::CloseHandleValue(Handle handle) {
  return CloseHandle(ToHandle(handle)) != FALSE;
}

Thread SystemEnv::StartThread(std::function<void()> body) {
  auto owned = std::make_unique<std::function<void()>>(std::move(body));
  HANDLE thread = CreateThread(nullptr, 0, RunBody, owned.get(), 0, nullptr);
  if (thread == nullptr) return 0;
  owned.release();  // the thread frees it
  return reinterpret_cast<Thread>(thread);
}

void SystemEnv::JoinThread(Thread thread) {
  if (thread == 0) return;
  WaitForSingleObject(ToHandle(thread), INFINITE);
  CloseHandle(ToHandle(thread));
}

void SystemEnv::SleepMs(std::uint32_t milliseconds) { Sleep(milliseconds); }

Event SystemEnv::NewEvent() {
  return reinterpret_cast<Event>(CreateEventA(nullptr, TRUE, FALSE, nullptr));
}

void SystemEnv::SignalEvent(Event event) {
  if (event != 0) SetEvent(ToHandle(event));
}

bool SystemEnv::WaitForEvent(Event event, std::uint32_t milliseconds) {
  if (event == 0) {
    Sleep(milliseconds);
    return false;
  }
  return WaitForSingleObject(ToHandle(event), milliseconds) == WAIT_OBJECT_0;
}

void SystemEnv::CloseEvent(Event event) {
  if (event != 0) CloseHandle(ToHandle(event));
}

void SystemEnv::ExitProcess(int code) { ::ExitProcess(static_cast<UINT>(code)); }

void SystemEnv::KeepNewFilesPrivate() {}

}  // namespace platform
