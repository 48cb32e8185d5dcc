// Finding a running process by the path of its main executable, and ending it by force.
#pragma once

#include <windows.h>

#include "platform/scoped_handle.h"

// Enables "SeDebugPrivilege" in the tool's own token, so that an elevated tool may open processes
// of other users and services. Nothing is reported; a token without the privilege stays as it was.
void EnableDebugPrivilege();

// The first process, in the system's list order, whose main executable's full path contains name,
// ASCII case ignored. The handle (query, read, terminate, wait) belongs to the caller; empty when
// nothing matches, and for a null name or one of 260 characters or more. The first call of the run
// enables the debug privilege.
ScopedHandle FindProcessByName(const char* name);

// TerminateProcess, then "TASKKILL /PID <id> /F" from the system folder, without a console, then a
// wait of at most 2000 ms for both the process and the command to end. Takes the handle over and
// closes it, except while the command still runs: then it stays open until the tool exits, so the
// id cannot pass to another process. Whether the process is gone shows only in a later search.
void KillProcess(ScopedHandle process);

// KillProcess with commandProgram (a full path; null: none) started in place of the system's
// TASKKILL, on the same command line. Lets tests play a command that outlives the wait.
void KillProcessWithCommand(ScopedHandle process, const char* commandProgram);
