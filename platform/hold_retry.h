// Another program may hold a file for a moment: an on-access scanner opens every file just
// written and keeps it open while it reads it, and so do indexers and backup tools. A rename,
// delete or open of that file fails meanwhile (on Windows with a sharing violation, a lock
// violation or access denied), though it would succeed a moment later. Such a call is tried again
// after growing pauses, up to a bound per file; any other failure stands at once.
#pragma once

#include <cstdint>
#include <string>

// The pauses start short, so that the usual hold of a fraction of a second costs little, and grow
// to a second. The bound covers the holds measured for scanners on fresh files (0.3 s to 1.5 s)
// several times over, while a file that stays held (a program still runs from it) stops the update
// after at most ten seconds.
inline constexpr std::uint32_t kFirstHoldPauseMs = 50;
inline constexpr std::uint32_t kLongestHoldPauseMs = 1000;
inline constexpr std::uint32_t kHoldBoundMs = 10000;
// All the pauses of one run together: however many files stay held, one release waits at most this
// long for holds (a second copy waits longer than a release can take, see release_lock.h).
inline constexpr std::uint32_t kRunHoldBudgetMs = 60000;

// The waiting for one file: how long it has paused so far, and up to when.
struct HoldRetry {
  std::uint32_t waitedMs = 0;
  std::uint32_t boundMs = kHoldBoundMs;
  bool waited = false;  // at least one pause: the file was held for a moment
  bool spent = false;   // a hold outlasted the bound or the run's budget
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

// The same for one file's call: a file that stayed held through a whole bound is not waited for
// again in the same run (a journal held all along would cost each later step its own bound).
bool HoldWasSpent(const char16_t* path);
void NoteHoldOutcome(const char16_t* path, bool spent);
template <typename Call>
bool RetryFileWhileHeld(const char16_t* path, HoldRetry& retry, Call call) {
  if (HoldWasSpent(path)) retry.boundMs = retry.waitedMs;
  const bool done = RetryWhileHeld(retry, call);
  NoteHoldOutcome(path, !done && retry.spent);
  return done;
}
// What the run has paused for holds so far.
std::uint32_t RunHoldPausesMs();

// The seam's part: whether the last failed file call was refused for a hold, and a pause.
bool LastFailureWasHold();
void PauseMs(std::uint32_t milliseconds);
