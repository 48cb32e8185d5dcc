#pragma once

#include <windows.h>

// The whole release: close request, phases, tool-path file, launch, log. Waits at most
// otherReleaseWaitMs for another copy's release to end first. Ends the process with one of the
// statuses of install/exit_status.h and never returns.
[[noreturn]] void OnReleaseFile(DWORD otherReleaseWaitMs);
