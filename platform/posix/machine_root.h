// The machine root: the directory that holds, on POSIX, what belongs to the
// machine on Windows (registry.reg, eventlog/, locks/). $TALLOWMERE_ROOT
// names it; /var/lib/tallowmere when that is unset or empty.
#pragma once

#include <string>

namespace platform {

std::string MachineRoot();

// The machine root followed by "/" and name.
std::string MachinePath(const std::string& name);

// Creates the machine root (mode 0700) when it is missing, then the directory
// subdirectory ("eventlog"; "" for none) inside it. Returns 0, or the errno
// of the creation that failed.
int MakeMachineDirectory(const std::string& subdirectory);

}  // namespace platform
