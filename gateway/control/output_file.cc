#include "gateway/control/output_file.h"

platform::FileHandle CreateOutputFile(const std::string& path) {
  return platform::env().CreateFileAlways(path);
}

bool WriteAll(platform::FileHandle file, const void* bytes, std::uint32_t count) {
  platform::Env& env = platform::env();
  std::uint32_t written = 0;
  if (!env.WriteOnce(file, bytes, count, &written)) return false;
  if (written == count) return true;
  // A write that stopped short without a reason given: the disk took no more.
  env.SetLastErrorCode(platform::kErrorDiskFull);
  return false;
}
