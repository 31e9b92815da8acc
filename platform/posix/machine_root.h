// The machine root: the directory that holds, on POSIX, what belongs to the
// machine on Windows (registry.reg, eventlog/, locks/). $TALLOWMERE_ROOT
// names it; /var/lib/tallowmere when that is unset or empty.
#pragma once

#include <sys/types.h>

#include <string>

namespace platform {

std::string MachineRoot();

// The machine root followed by "/" and name.
std::string MachinePath(const std::string& name);

// Creates the machine root (mode 0700) when it is missing, then the directory
// subdirectory ("eventlog"; "" for none) inside it. Returns 0, or the errno
// of the creation that failed.
int MakeMachineDirectory(const std::string& subdirectory);

// On an installed machine the machine root belongs to the user the gateway
// runs as, while the administrator runs the configuration program as root.
// What root creates for the gateway (files and directories in the machine
// root, the spool directories of the set-up) is handed to the machine root's
// owner, so that the gateway can still use it.
//
// True, with that owner and group, when this process runs as root and the
// machine root exists and belongs to another user; false otherwise (a
// process of the owner itself, a machine root of root's, none yet).
bool ForeignMachineRootOwner(uid_t* uid, gid_t* gid);
// Gives the open file, or the directory at path (not following a last
// symbolic link), to that owner when ForeignMachineRootOwner says so.
// Returns 0, or the errno of the change that failed.
int GiveToMachineRootOwner(int fd);
int GiveToMachineRootOwner(const std::string& path);

}  // namespace platform
