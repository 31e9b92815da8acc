// One entry of the POSIX Application event log as a JSON line.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace platform {

// {"time":...,"source":...,"type":...,"event_id":...,"category":...,
//  "strings":[...],"pid":...} and a LF. Texts are single-byte: each byte
// becomes the code point of the same value, so nothing is lost.
std::string FormatEventEntry(std::time_t time, const std::string& source,
                             std::uint16_t type, std::uint32_t event_id,
                             std::uint16_t category,
                             const std::vector<std::string>& strings,
                             long pid);

}  // namespace platform
