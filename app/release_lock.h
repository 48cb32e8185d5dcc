// One release at a time in the user's session: two copies of the tool (a double click, an old
// download beside the client's own updater) would each take the other's half-done switch for an
// interrupted one and take it back.
#pragma once

#include <windows.h>

#include "platform/hold_retry.h"
#include "platform/scoped_handle.h"

// How long a release waits for another one to end. A release's own waits are bounded: the 300 ms
// pause, the stop phase's 5 s budget and 2 s kill wait, the tray sweep's moves (250 ms each at
// most), the 100 ms after the unpack, and every pause for files that other programs hold: each
// file (an archive with all its attempts) within one 10 s bound, waited for once per run, and all
// of them together within the run's 60 s (kRunHoldBudgetMs). That is about 68 s of waiting at
// worst, plus the disk's own time for the writes; two minutes stay above it and still answer a
// deployment tool long before its own limit.
inline constexpr DWORD kOtherReleaseWaitMs = 120000;
static_assert(kOtherReleaseWaitMs > kRunHoldBudgetMs + 300 + 5000 + 2000 + 100 + 30000,
              "a waiting copy must outwait the waits of a whole release");

// Takes the session's release lock, waiting at most waitMs for a release that holds it; false when
// the wait ran out (the lock is then not held). lock owns the handle until the process ends.
bool TakeReleaseLock(DWORD waitMs, ScopedHandle& lock);
// Lets the next waiting release go on.
void ReturnReleaseLock(const ScopedHandle& lock);
