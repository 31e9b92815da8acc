// A spool file system too small for the mailbox: a tmpfs of a given size
// over a directory, in a private mount namespace of one command's own (the
// tests run as root), so that the rest of the machine never sees it.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/test_support.h"

namespace testing_support {

// Whether this process may make a private mount namespace.
bool PrivateMountsAvailable();

// Runs the shell command (with /bin/sh -c, in the given environment) where
// a tmpfs of size (as mount takes it: "600k") lies on dir, holding a copy of
// dir's contents; afterwards dir holds what the tmpfs held. The command's
// result, unless SmallDiskNotSetUp says otherwise.
platform::testing::ProcessResult RunOverSmallDisk(const std::filesystem::path& dir,
                                                  const std::string& size,
                                                  const std::string& command,
                                                  const std::vector<std::string>& environment,
                                                  int timeout_ms);
// Whether RunOverSmallDisk's result is the tmpfs's failure to be set up or
// to carry its contents, not the command's own.
bool SmallDiskNotSetUp(const platform::testing::ProcessResult& result);

}  // namespace testing_support
