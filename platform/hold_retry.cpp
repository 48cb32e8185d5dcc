#include "platform/hold_retry.h"

std::uint32_t NextHoldPauseMs(std::uint32_t waitedMs) {
  std::uint32_t pause = kFirstHoldPauseMs;
  // The pauses double, so the total so far is the last pause less the first: the next one doubles it.
  if (waitedMs > 0) pause = waitedMs + kFirstHoldPauseMs;
  return pause < kLongestHoldPauseMs ? pause : kLongestHoldPauseMs;
}

bool WaitOutHold(HoldRetry& retry) {
  if (retry.waitedMs >= retry.boundMs || !LastFailureWasHold()) return false;
  std::uint32_t pause = NextHoldPauseMs(retry.waitedMs);
  if (pause > retry.boundMs - retry.waitedMs) pause = retry.boundMs - retry.waitedMs;
  PauseMs(pause);
  retry.waitedMs += pause;
  retry.waited = true;
  return true;
}
