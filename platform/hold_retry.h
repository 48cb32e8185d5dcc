// Another program may hold a file for a moment: an on-access scanner opens every file just
// written and keeps it open while it reads it, and so do indexers and backup tools. A rename,
// delete or open of that file fails meanwhile (on Windows with a sharing violation, a lock
// violation or access denied), though it would succeed a moment later. Such a call is tried again
// after growing pauses, up to a bound per file; any other failure stands at once.
#pragma once

#include <cstdint>

// The pauses start short, so that the usual hold of a fraction of a second costs little, and grow
// to a second. The bound covers the holds measured for scanners on fresh files (0.3 s to 1.5 s)
// several times over, while a file that stays held (a program still runs from it) stops the update
// after at most ten seconds.
inline constexpr std::uint32_t kFirstHoldPauseMs = 50;
inline constexpr std::uint32_t kLongestHoldPauseMs = 1000;
inline constexpr std::uint32_t kHoldBoundMs = 10000;

// The waiting for one file: how long it has paused so far, and up to when.
struct HoldRetry {
  std::uint32_t waitedMs = 0;
  std::uint32_t boundMs = kHoldBoundMs;
  bool waited = false;  // at least one pause: the file was held for a moment
};

// The pause before the next attempt, given what has been paused so far.
std::uint32_t NextHoldPauseMs(std::uint32_t waitedMs);
// After a failed call: pauses and answers true when the failure was a hold and the bound leaves
// room for another attempt; otherwise answers false at once, with the failure's error untouched.
bool WaitOutHold(HoldRetry& retry);

// call() until it succeeds, or until it fails for something other than a hold, or the bound is spent.
template <typename Call>
bool RetryWhileHeld(HoldRetry& retry, Call call) {
  while (!call()) {
    if (!WaitOutHold(retry)) return false;
  }
  return true;
}

// The seam's part: whether the last failed file call was refused for a hold, and a pause.
bool LastFailureWasHold();
void PauseMs(std::uint32_t milliseconds);
