// File helpers of the download and the splitter.
#pragma once

#include <cstdint>
#include <string>

#include "platform/env.h"

// Create-always for reading and writing, others may read; the invalid handle
// on failure. Logs nothing.
platform::FileHandle CreateOutputFile(const std::string& path);
// One write call; true only when it succeeded and wrote every byte, false
// with the last error set (kErrorDiskFull for a write that stopped short).
bool WriteAll(platform::FileHandle file, const void* bytes, std::uint32_t count);
