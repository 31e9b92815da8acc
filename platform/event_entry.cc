#include "platform/event_entry.h"

#include <chrono>
#include <cstdio>

#include "platform/env.h"

namespace platform {

namespace {

// A single-byte text as a JSON string: each byte is the code point of the
// same value, so 0x80..0xFF take two bytes of UTF-8.
void AppendJsonString(std::string* out, const std::string& text) {
  out->push_back('"');
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (byte) {
      case '"': out->append("\\\""); break;
      case '\\': out->append("\\\\"); break;
      case '\n': out->append("\\n"); break;
      case '\r': out->append("\\r"); break;
      case '\t': out->append("\\t"); break;
      case '\b': out->append("\\b"); break;
      case '\f': out->append("\\f"); break;
      default:
        if (byte < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", byte);
          out->append(escape);
        } else if (byte < 0x80) {
          out->push_back(c);
        } else {
          out->push_back(static_cast<char>(0xC0 | byte >> 6));
          out->push_back(static_cast<char>(0x80 | (byte & 0x3F)));
        }
    }
  }
  out->push_back('"');
}

// UTC, RFC 3339, whole seconds: "2026-12-08T03:20:00Z".
std::string Rfc3339(std::time_t time) {
  using namespace std::chrono;
  const sys_seconds instant = floor<seconds>(system_clock::from_time_t(time));
  const sys_days day = floor<days>(instant);
  const year_month_day date(day);
  const hh_mm_ss clock(instant - day);
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ",
                static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()), static_cast<int>(clock.hours().count()),
                static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()));
  return text;
}

std::string TypeText(std::uint16_t type) {
  switch (type) {
    case kEventlogErrorType: return "\"error\"";
    case kEventlogWarningType: return "\"warning\"";
    case kEventlogInformationType: return "\"information\"";
    default: return std::to_string(type);
  }
}

}  // namespace

std::string FormatEventEntry(std::time_t time, const std::string& source,
                             std::uint16_t type, std::uint32_t event_id,
                             std::uint16_t category,
                             const std::vector<std::string>& strings,
                             long pid) {
  std::string line = "{\"time\":\"" + Rfc3339(time) + "\",\"source\":";
  AppendJsonString(&line, source);
  line += ",\"type\":" + TypeText(type) + ",\"event_id\":" + std::to_string(event_id) +
          ",\"category\":" + std::to_string(category) + ",\"strings\":[";
  for (std::size_t i = 0; i < strings.size(); ++i) {
    if (i > 0) line.push_back(',');
    AppendJsonString(&line, strings[i]);
  }
  line += "],\"pid\":" + std::to_string(pid) + "}\n";
  return line;
}

}  // namespace platform
