// A spool file system too small for the mailbox: a tmpfs of a given size
// over a directory, in a private mount namespace of one command's own (the
// tests run as root), so that the rest of the machine never sees it.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/test_support.h"

namespace testing_support {

// Exit codes of RunOverSmallDisk when the tmpfs could not be set up.
inline constexpr int kSmallDiskMountFailed = 100;
inline constexpr int kSmallDiskCarryFailed = 102;

// Whether this process may make a private mount namespace.
bool PrivateMountsAvailable();

// Runs the shell command (with /bin/sh -c, in the given environment) where
// a tmpfs of size (as mount takes it: "600k") lies on dir, holding a copy of
// dir's contents; afterwards dir holds what the tmpfs held. The command's
// result, or an exit code from kSmallDiskMountFailed to
// kSmallDiskCarryFailed when the tmpfs could not be set up or its contents
// carried.
platform::testing::ProcessResult RunOverSmallDisk(const std::filesystem::path& dir,
                                                  const std::string& size,
                                                  const std::string& command,
                                                  const std::vector<std::string>& environment,
                                                  int timeout_ms);

}  // namespace testing_support
