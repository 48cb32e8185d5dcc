#include "platform/hold_retry.h"

#include <unordered_set>

std::uint32_t NextHoldPauseMs(std::uint32_t waitedMs) {
  std::uint32_t pause = kFirstHoldPauseMs;
  // The pauses double, so the total so far is the last pause less the first: the next one doubles it.
  if (waitedMs > 0) pause = waitedMs + kFirstHoldPauseMs;
  return pause < kLongestHoldPauseMs ? pause : kLongestHoldPauseMs;
}

namespace {

// The run's memory of holds; the process is single-threaded.
std::uint32_t runPausedMs = 0;
std::unordered_set<std::u16string>& SpentHolds() {
  static std::unordered_set<std::u16string> spent;
  return spent;
}

}  // namespace

bool WaitOutHold(HoldRetry& retry) {
  if (!LastFailureWasHold()) return false;
  const std::uint32_t runLeft = runPausedMs < kRunHoldBudgetMs ? kRunHoldBudgetMs - runPausedMs : 0;
  if (retry.waitedMs >= retry.boundMs || runLeft == 0) {
    retry.spent = true;
    return false;
  }
  std::uint32_t pause = NextHoldPauseMs(retry.waitedMs);
  if (pause > retry.boundMs - retry.waitedMs) pause = retry.boundMs - retry.waitedMs;
  if (pause > runLeft) pause = runLeft;
  PauseMs(pause);
  retry.waitedMs += pause;
  runPausedMs += pause;
  retry.waited = true;
  return true;
}

bool HoldWasSpent(const char16_t* path) { return SpentHolds().count(path) != 0; }

void NoteHoldOutcome(const char16_t* path, bool spent) {
  if (spent)
    SpentHolds().insert(path);
  else
    SpentHolds().erase(path);
}

std::uint32_t RunHoldPausesMs() { return runPausedMs; }
