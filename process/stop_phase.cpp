#include "process/stop_phase.h"

#include <utility>

#include "install/release_log.h"
#include "install/release_names.h"
#include "process/process_finder.h"

namespace {

constexpr ULONGLONG kBudgetMs = 5000;
constexpr DWORD kPauseBeforeKillMs = 50;
constexpr char kBudgetSpentMessage[] = "GetTickCount() - dwTickKill > 5 * 1000";
constexpr char kFirstLoopDoneMessage[] = "OnReleaseFile Close Old Process";

// Kills the processes whose path contains name until a search finds none or the budget is spent.
// The budget is tested after the new search, so the loop may leave holding a process it has just
// found; that handle goes back to the caller. budgetMessage (may be null) is logged when the budget
// ends the loop.
ScopedHandle KillLoop(const StopPhaseSystem& system, const char* name, ULONGLONG startMark, const char* budgetMessage) {
  ScopedHandle process = system.find(system.context, name);
  while (process.IsValid()) {
    system.sleep(system.context, kPauseBeforeKillMs);
    system.kill(system.context, std::move(process));
    process = system.find(system.context, name);
    // Unsigned 64-bit difference: the true elapsed time, also past 2^32 ms of uptime.
    if (system.tickCount(system.context) - startMark > kBudgetMs) {
      if (budgetMessage != nullptr) system.log(system.context, budgetMessage);
      break;
    }
  }
  return process;
}

ScopedHandle FindRealProcess(void*, const char* name) { return FindProcessByName(name); }
void KillRealProcess(void*, ScopedHandle process) { KillProcess(std::move(process)); }
ULONGLONG RealTickCount(void*) { return GetTickCount64(); }
void RealSleep(void*, DWORD milliseconds) { Sleep(milliseconds); }
void WriteReleaseLog(void* context, const char* message) { WriteLog(static_cast<FILE*>(context), message); }

}  // namespace

bool RunStopPhase(const StopPhaseSystem& system, ULONGLONG startMark) {
  ScopedHandle survivor = KillLoop(system, kClientExecutable, startMark, kBudgetSpentMessage);
  // A process found again when the budget ran out is abandoned, not closed: its handle stays open
  // until the tool exits, moments later.
  survivor.Release();
  system.log(system.context, kFirstLoopDoneMessage);

  survivor = KillLoop(system, kSecondClientProcess, startMark, nullptr);
  const bool noSecondClient = !survivor.IsValid();
  survivor.Release();  // abandoned as above
  return noSecondClient;
}

bool StopOldClient(FILE* logStream, ULONGLONG startMark) {
  const StopPhaseSystem system = {logStream,     FindRealProcess, KillRealProcess,
                                  RealTickCount, RealSleep,       WriteReleaseLog};
  return RunStopPhase(system, startMark);
}
