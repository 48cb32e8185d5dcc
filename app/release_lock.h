// One release at a time in the user's session: two copies of the tool (a double click, an old
// download beside the client's own updater) would each take the other's half-done switch for an
// interrupted one and take it back.
#pragma once

#include <windows.h>

#include "platform/scoped_handle.h"

// How long a release waits for another one to end. A release's own waits are bounded: the 300 ms
// pause, the stop phase's 5 s budget and 2 s kill wait, up to 11 attempts 100 ms apart for each of
// the three archives, and up to about 10 s for each client file held open by another program;
// with the unpack of a large client on a slow disk, a whole release stays well below a minute.
// Two minutes cover that twice over and still answer a deployment tool long before its own limit.
inline constexpr DWORD kOtherReleaseWaitMs = 120000;

// Takes the session's release lock, waiting at most waitMs for a release that holds it; false when
// the wait ran out (the lock is then not held). lock owns the handle until the process ends.
bool TakeReleaseLock(DWORD waitMs, ScopedHandle& lock);
// Lets the next waiting release go on.
void ReturnReleaseLock(const ScopedHandle& lock);
