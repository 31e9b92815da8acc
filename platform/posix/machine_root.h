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
// Give the open file fd, opened by the name path, or the directory path, to
// that owner when ForeignMachineRootOwner says so. A file only when path
// names it directly and it has no other name, a directory never through a
// symbolic link: a link planted by the owner cannot lead root's chown
// elsewhere. Return 0, or the errno of the change that failed or was refused.
int GiveFileToMachineRootOwner(int fd, const std::string& path);
int GiveDirectoryToMachineRootOwner(const std::string& path);

}  // namespace platform
