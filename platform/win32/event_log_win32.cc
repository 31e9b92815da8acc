// Event log: the machine's Application log.
#include <windows.h>

#include "platform/win32/win32_env.h"

namespace platform {

namespace {
HANDLE ToHandle(EventSource source) { return reinterpret_cast<HANDLE>(source); }
}  // namespace

EventSource SystemEnv::RegisterSource(const std::string& source) {
  return reinterpret_cast<EventSource>(RegisterEventSourceA(nullptr, source.c_str()));
}

bool SystemEnv::Report(EventSource source, std::uint16_t type,
                      std::uint16_t category, std::uint32_t event_id,
                      const std::vector<std::string>& strings) {
  std::vector<const char*> texts;
  texts.reserve(strings.size());
  for (const std::string& s : strings) texts.push_back(s.c_str());
  return ReportEventA(ToHandle(source), type, category, event_id, nullptr,
                      static_cast<WORD>(texts.size()), 0, texts.data(),
                      nullptr) != FALSE;
}

void SystemEnv::DeregisterSource(EventSource source) {
  DeregisterEventSource(ToHandle(source));
}

}  // namespace platform
