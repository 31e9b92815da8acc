// Reporting to the event log under the source "Tallowmere".
#pragma once

#include <cstdint>
#include <string>

#include "platform/env.h"

inline constexpr const char kEventSourceName[] = "Tallowmere";

// Writes one entry: the strings "Tallowmere error: <thread's last error>"
// and message. Never fails towards the caller.
void LogEvent(const std::string& message, std::uint16_t type);
// LogEvent(tag + message, error) and returns code.
int LogFailure(std::string tag, std::string message, int code);
