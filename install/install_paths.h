// Paths below the install root (APPDATA\Quorvane\Software), all UTF-16 and within Windows' path
// limit. A path that does not fit is never cut: the builders answer false and leave an empty text,
// so nothing is ever written under a truncated path.
#pragma once

#include <windows.h>

#include "install/release_names.h"
#include "platform/file_system.h"

// The user's roaming application-data folder as the shell reports it, links and all: it is the
// user's to choose. False (and "") when the shell cannot give it.
bool GetAppDataPath(wchar_t (&appData)[kPathCapacity]);

// "APPDATA\Quorvane\Software\fileName" with room left for the longest temporary suffix, or, for a
// null fileName, the install root within the folder limit.
bool BuildInstallPath(wchar_t (&path)[kPathCapacity], const wchar_t* appData, const wchar_t* fileName);

// True when the install root and every fixed file of the install fit for this APPDATA (the longest
// is the client executable's temporary name), so nothing of the release can fail for its length.
bool InstallPathsFit(const wchar_t* appData);

// Folders held open while the release writes below them (see HoldFolders).
using FolderPins = HeldFolders;
enum class MissingFolders { Allowed, Refused, Created };

// Holds every folder of folder below appData, outermost first ("APPDATA\a\b": a, then a\b), and
// answers false at the first one that is no folder or is a link of any kind. A missing folder ends
// the walk with true (Allowed: the rest is created later and held then), with false (Refused), or
// is created inside the folder just held (Created).
bool PinFolders(const wchar_t* appData, const wchar_t* folder, MissingFolders missing, FolderPins& pins);

// A folder may refuse new entries while its files may still be written (an access list that
// allows writing data but not adding files): a file that cannot be replaced there is rewritten
// where it stands, but only when it is a plain file with a single name, so that nothing is
// written through a link. An open handle at offset 0 with the file emptied, or
// INVALID_HANDLE_VALUE. share: the sharing the caller needs while it writes.
HANDLE OpenPlainFileToRewrite(const wchar_t* path, DWORD share);
// The same checks for a file that is only added to: a handle that writes at its end only, or
// INVALID_HANDLE_VALUE.
HANDLE OpenPlainFileToAppend(const wchar_t* path, DWORD share);
