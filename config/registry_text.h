// Registry reads and writes of the configuration program's texts.
#pragma once

#include <string>

#include "platform/env.h"

namespace setwick {

inline constexpr char kSettingsKey[] = "SOFTWARE\\Brackwater\\Tallowmere\\1.0";
inline constexpr char kConnectorKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\MSExchangeIMC\\Parameters";
inline constexpr char kEventSourceKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Tallowmere";

// Reads a value with an allowed size of 256 bytes into a buffer cleared
// before the read, so that a missing value (or one that does not fit) reads
// as empty, never as the text of an earlier read. Returns the read's status.
long ReadText(platform::RegKey key, const char* name, std::string* text);

// Writes text as type (REG_SZ unless given) through a 100-byte zero-filled
// buffer: at most 99 characters, stored length text + 1. Returns the status.
long WriteText(platform::RegKey key, const char* name, const std::string& text,
               std::uint32_t type = platform::kRegSz);

}  // namespace setwick
