// Faults that a test under Wine injects through the Unix host it runs on. Wine maps Windows'
// read-only attribute onto Unix permissions, which do not bind root (and CI runs as root), and it
// has no disk quotas; so the test asks the host itself, through Wine's ability to start a Unix
// program by its Z: path:
//   - a folder that refuses new, removed and renamed entries: chattr +i on its Unix folder (binds
//     root too), the state of a folder whose access list denies creating and deleting in it;
//   - a file that refuses every write: chattr +i on the file;
//   - a full disk: a small tmpfs mounted on the folder;
//   - a symbolic link in the install root: ln -s, which Wine shows as a reparse point.
// Each injection checks that it took effect, so a host that cannot do it (no root, a file system
// without the flag) makes the test skip instead of pass untested. tests/faults/host_cleanup.sh
// undoes whatever a crashed test left.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The Unix path Wine maps a Windows path to; empty when not running under Wine.
std::string UnixPathOf(const std::wstring& windowsPath);

// Runs a host program (a Unix path) to its end, at most 30 s; its exit status, or -1 when it could
// not be run or did not end.
int RunHostProgram(const std::string& program, const std::vector<std::string>& arguments);

// chattr +i / -i. Undoing is recursive, so one call lifts a whole folder's flags.
bool MakeImmutable(const std::wstring& path);
void LiftImmutable(const std::wstring& folder);

// A tmpfs of the given size mounted on the (empty or missing) folder; false unless the folder then
// reports that size. UnmountTinyDisk detaches it even while files in it are still open.
bool MountTinyDisk(const std::wstring& folder, std::uint64_t bytes);
void UnmountTinyDisk(const std::wstring& folder);

// A symbolic link at link (its parent must exist) to target, made on the host: Wine shows it as
// a reparse point, as Windows shows a junction. RemoveHostLink removes the link, never what it
// leads to.
bool MakeHostLink(const std::wstring& target, const std::wstring& link);
void RemoveHostLink(const std::wstring& link);

// True when a new file can be created in folder (it is removed again).
bool CanCreateIn(const std::wstring& folder);
