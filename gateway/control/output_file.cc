#include "gateway/control/output_file.h"

platform::FileHandle CreateOutputFile(const std::string& path) {
  return platform::env().CreateFileAlways(path);
}

bool WriteAll(platform::FileHandle file, const void* bytes, std::uint32_t count) {
  std::uint32_t written = 0;
  return platform::env().WriteOnce(file, bytes, count, &written) && written == count;
}
