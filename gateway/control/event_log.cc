#include "gateway/control/event_log.h"

#include <cstdio>

void LogEvent(const std::string& message, std::uint16_t type) {
  platform::Env& env = platform::env();
  // First, before any other call can change it.
  const std::uint32_t code = env.LastError();
  platform::EventSource source = env.RegisterSource(kEventSourceName);
  char error_text[256];
  std::snprintf(error_text, sizeof error_text, "%s error: %d", kEventSourceName,
                static_cast<int>(code));
  if (source == 0) return;
  env.Report(source, type, 0, 0, {error_text, message});
  env.DeregisterSource(source);
}

int LogFailure(std::string tag, std::string message, int code) {
  LogEvent(tag + message, platform::kEventlogErrorType);
  return code;
}
