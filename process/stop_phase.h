// The stop phase: ends the running client processes before their files are replaced, and decides
// whether the release may go ahead.
#pragma once

#include <windows.h>

#include <cstdio>

#include "platform/scoped_handle.h"

// What the kill loops need from the system. StopOldClient fills it with the real finder, killer,
// tick count, sleep and release log; tests fill it with stand-ins.
struct StopPhaseSystem {
  void* context;
  ScopedHandle (*find)(void* context, const char* name);
  void (*kill)(void* context, ScopedHandle process);
  ULONGLONG (*tickCount)(void* context);
  void (*sleep)(void* context, DWORD milliseconds);
  void (*log)(void* context, const char* message);
};

// Two kill loops, "QuorvaneSoftware.exe" then "QelSoftClient.exe", sharing one 5000 ms budget
// counted from startMark (a full 64-bit tick count). True when the last search for the second
// process found none: only that process holds the release back.
bool RunStopPhase(const StopPhaseSystem& system, ULONGLONG startMark);

// RunStopPhase over the real processes, clock and the release log (which may be null).
bool StopOldClient(FILE* logStream, ULONGLONG startMark);
