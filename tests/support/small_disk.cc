#include "tests/support/small_disk.h"

namespace testing_support {

bool PrivateMountsAvailable() {
  const platform::testing::ProcessResult probe =
      platform::testing::RunProcess({"/usr/bin/unshare", "-m", "/bin/true"}, {}, 10000);
  return probe.exited && probe.exit_code == 0;
}

platform::testing::ProcessResult RunOverSmallDisk(const std::filesystem::path& dir,
                                                  const std::string& size,
                                                  const std::string& command,
                                                  const std::vector<std::string>& environment,
                                                  int timeout_ms) {
  namespace fs = std::filesystem;
  // The contents wait beside dir while the tmpfs covers it.
  const fs::path hold = dir.parent_path() / (dir.filename().string() + ".hold");
  fs::remove_all(hold);
  fs::rename(dir, hold);
  fs::create_directory(dir);
  const std::string script =
      "set -u; dir=\"$1\"; hold=\"$2\"; "
      "/usr/bin/mount -t tmpfs -o size=" + size + ",mode=0700 tallowmere-small \"$dir\" || exit 100; "
      "/usr/bin/cp -a \"$hold/.\" \"$dir/\" || exit 101; " +
      command + "\n rc=$?; "
      "/usr/bin/rm -rf \"$hold\" && /usr/bin/mkdir \"$hold\" && /usr/bin/cp -a \"$dir/.\" \"$hold/\" || exit 102; "
      "exit $rc";
  const platform::testing::ProcessResult result = platform::testing::RunProcess(
      {"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c", script, "sh",
       dir.string(), hold.string()},
      environment, timeout_ms);
  fs::remove(dir);
  fs::rename(hold, dir);
  return result;
}

bool SmallDiskNotSetUp(const platform::testing::ProcessResult& result) {
  // The script's own exits, from the mount to the copy back.
  return result.exited && result.exit_code >= 100 && result.exit_code <= 102;
}

}  // namespace testing_support
