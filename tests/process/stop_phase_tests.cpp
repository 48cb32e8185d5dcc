// The kill loops of the stop phase over a stand-in system: a clock that moves only when the loops
// pause or kill, and targets that survive a given number of kills. Each "process" handed to the
// loops is a named event, so the test can tell whether a handle the loops abandoned is still open.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "process/stop_phase.h"

namespace {

constexpr int kNeverEnds = -1;
constexpr int kNotRunning = 0;
constexpr ULONGLONG kTwoPow32 = 0x100000000ULL;
constexpr char kBudgetLine[] = "GetTickCount() - dwTickKill > 5 * 1000";
constexpr char kFirstLoopDone[] = "OnReleaseFile Close Old Process";

struct FakeTarget {
  const char* name;
  int killsToEnd;  // kNotRunning, kNeverEnds, or the kill after which no search finds it
  int kills = 0;
  bool Running() const { return killsToEnd == kNeverEnds || kills < killsToEnd; }
};

struct HandedOut {
  HANDLE handle;
  std::string target;
  std::wstring eventName;
  bool killed = false;
};

struct FakeSystem {
  ULONGLONG now = 0;
  DWORD killCostMs = 0;
  FakeTarget targets[2] = {{"QuorvaneSoftware.exe", kNotRunning}, {"QelSoftClient.exe", kNotRunning}};
  std::vector<std::string> trace;
  std::vector<HandedOut> handedOut;

  FakeTarget* Target(const char* name) {
    for (FakeTarget& target : targets)
      if (std::strcmp(target.name, name) == 0) return &target;
    return nullptr;
  }
};

FakeSystem& Fake(void* context) { return *static_cast<FakeSystem*>(context); }

ScopedHandle FakeFind(void* context, const char* name) {
  FakeSystem& fake = Fake(context);
  FakeTarget* target = fake.Target(name);
  if (target == nullptr || !target->Running()) {
    fake.trace.push_back(std::string("find ") + name + ": none");
    return ScopedHandle();
  }
  fake.trace.push_back(std::string("find ") + name + ": found");
  std::wstring eventName = L"Local\\quorvane-stop-phase-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                           std::to_wstring(fake.handedOut.size());
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());
  fake.handedOut.push_back({event, name, eventName});
  return ScopedHandle(event);
}

void FakeKill(void* context, ScopedHandle process) {
  FakeSystem& fake = Fake(context);
  HandedOut& last = fake.handedOut.back();
  // The loops kill exactly what their last search found.
  EXPECT_EQ(process.Get(), last.handle);
  last.killed = true;
  fake.Target(last.target.c_str())->kills++;
  fake.trace.push_back("kill " + last.target);
  fake.now += fake.killCostMs;
}  // the handle closes here, as KillProcess closes it

ULONGLONG FakeTickCount(void* context) { return Fake(context).now; }

void FakeSleep(void* context, DWORD milliseconds) {
  Fake(context).trace.push_back("sleep " + std::to_string(milliseconds));
  Fake(context).now += milliseconds;
}

void FakeLog(void* context, const char* message) { Fake(context).trace.push_back(std::string("log ") + message); }

struct RunResult {
  bool answer;
  std::vector<std::string> trace;
  int kills[2];
  int abandonedOpen = 0;    // handles the loops left behind that are still open, as they must be
  int abandonedClosed = 0;  // handles never killed that the loops closed anyway
};

RunResult RunWithFake(ULONGLONG startMark, DWORD killCostMs, int quorvaneKillsToEnd, int qelKillsToEnd) {
  FakeSystem fake;
  fake.now = startMark;
  fake.killCostMs = killCostMs;
  fake.targets[0].killsToEnd = quorvaneKillsToEnd;
  fake.targets[1].killsToEnd = qelKillsToEnd;
  const StopPhaseSystem system = {&fake, FakeFind, FakeKill, FakeTickCount, FakeSleep, FakeLog};
  RunResult result;
  result.answer = RunStopPhase(system, startMark);
  result.trace = fake.trace;
  result.kills[0] = fake.targets[0].kills;
  result.kills[1] = fake.targets[1].kills;
  for (const HandedOut& given : fake.handedOut) {
    if (given.killed) continue;
    // A named event outlives only while some handle to it is open.
    ScopedHandle probe(OpenEventW(SYNCHRONIZE, FALSE, given.eventName.c_str()));
    if (probe.IsValid()) {
      result.abandonedOpen++;
      ScopedHandle left(given.handle);  // the test closes what the loops rightly left open
    } else {
      result.abandonedClosed++;
    }
  }
  return result;
}

int Count(const std::vector<std::string>& trace, const std::string& line) {
  return static_cast<int>(std::count(trace.begin(), trace.end(), line));
}

TEST(StopPhase, NothingRunningMeansOneSearchEachAndRelease) {
  RunResult result = RunWithFake(1000, 0, kNotRunning, kNotRunning);
  const std::vector<std::string> expected = {"find QuorvaneSoftware.exe: none", std::string("log ") + kFirstLoopDone,
                                             "find QelSoftClient.exe: none"};
  EXPECT_EQ(result.trace, expected);
  EXPECT_TRUE(result.answer);
}

TEST(StopPhase, EachKillFollowsA50msPauseAndASearchFollowsEachKill) {
  RunResult result = RunWithFake(1000, 30, 1, 1);
  const std::vector<std::string> expected = {"find QuorvaneSoftware.exe: found",
                                             "sleep 50",
                                             "kill QuorvaneSoftware.exe",
                                             "find QuorvaneSoftware.exe: none",
                                             std::string("log ") + kFirstLoopDone,
                                             "find QelSoftClient.exe: found",
                                             "sleep 50",
                                             "kill QelSoftClient.exe",
                                             "find QelSoftClient.exe: none"};
  EXPECT_EQ(result.trace, expected);
  EXPECT_TRUE(result.answer);
}

// A pass costs the 50 ms pause plus the kill; with 2450 ms kills a pass is 2500 ms, so the budget
// test sees exactly 5000 ms after two passes (not over) and 7500 ms after the third.
struct BudgetCase {
  const char* title;
  ULONGLONG startMark;
  DWORD killCostMs;
  int quorvaneKillsToEnd;
  int qelKillsToEnd;
  int quorvaneKills;
  int qelKills;
  bool budgetLine;
  bool answer;
  int abandoned;  // handles found again as the budget ran out: left open
};

const BudgetCase kBudgetCases[] = {
    {"client ends on the first kill", 1000, 2450, 1, kNotRunning, 1, 0, false, true, 0},
    {"second client that never ends: budget spent, no release", 1000, 2450, kNotRunning, kNeverEnds, 0, 3, false, false,
     1},
    {"second client ends on its second kill", 1000, 2450, kNotRunning, 2, 0, 2, false, true, 0},
    {"second client ended on the pass that spends the budget", 1000, 2450, kNotRunning, 3, 0, 3, false, true, 0},
    {"client that never ends, no second client: release", 1000, 2450, kNeverEnds, kNotRunning, 3, 0, true, true, 1},
    {"budget spent by the first loop, second client ends on its one kill", 1000, 2450, kNeverEnds, 1, 3, 1, true, true,
     1},
    {"budget spent by the first loop, second client survives its one kill", 1000, 2450, kNeverEnds, kNeverEnds, 3, 1,
     true, false, 2},
    {"start mark just below 2^32 ms of uptime", kTwoPow32 - 3000, 2450, kNotRunning, kNeverEnds, 0, 3, false, false, 1},
    {"start mark after 2^32 ms of uptime", kTwoPow32 * 3 + 100, 2450, kNeverEnds, kNeverEnds, 3, 1, true, false, 2},
    {"start mark at the wrap itself", kTwoPow32 - 1, 2450, kNeverEnds, kNotRunning, 3, 0, true, true, 1},
};

TEST(StopPhase, BudgetAnswerAndAbandonedHandles) {
  for (const BudgetCase& c : kBudgetCases) {
    SCOPED_TRACE(c.title);
    RunResult result = RunWithFake(c.startMark, c.killCostMs, c.quorvaneKillsToEnd, c.qelKillsToEnd);
    EXPECT_EQ(result.kills[0], c.quorvaneKills);
    EXPECT_EQ(result.kills[1], c.qelKills);
    EXPECT_EQ(result.answer, c.answer);
    EXPECT_EQ(result.abandonedOpen, c.abandoned);
    EXPECT_EQ(result.abandonedClosed, 0);
    // The budget line is written once at most, and only by the first loop.
    EXPECT_EQ(Count(result.trace, std::string("log ") + kBudgetLine), c.budgetLine ? 1 : 0);
    EXPECT_EQ(Count(result.trace, std::string("log ") + kFirstLoopDone), 1);
    if (c.budgetLine) {
      auto budget = std::find(result.trace.begin(), result.trace.end(), std::string("log ") + kBudgetLine);
      ASSERT_NE(budget, result.trace.end());
      EXPECT_EQ(*(budget - 1), "find QuorvaneSoftware.exe: found");  // tested after the new search
      EXPECT_EQ(*(budget + 1), std::string("log ") + kFirstLoopDone);
    }
  }
}

}  // namespace
