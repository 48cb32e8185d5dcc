// The kill loops of the stop phase over a stand-in system: a clock that moves only when the loops
// pause or kill, and targets that survive a given number of kills. Each "process" handed to the
// loops is a named event, so the test can tell whether a handle the loops abandoned is still open.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "process/stop_phase.h"

namespace {

constexpr int kNever = -1;  // a target that no kill ends
constexpr ULONGLONG kTwoPow32 = 0x100000000ULL;
const std::string kBudgetLine = "log GetTickCount() - dwTickKill > 5 * 1000";
const std::string kFirstLoopDone = "log OnReleaseFile Close Old Process";

struct FakeSystem {
  ULONGLONG now = 0;
  DWORD killCostMs = 2450;     // with the 50 ms pause a pass takes 2500 ms
  int killsToEnd[2] = {0, 0};  // QuorvaneSoftware.exe, QelSoftClient.exe: 0 = not running
  int kills[2] = {0, 0};
  std::vector<std::string> trace;
  std::vector<int> handedTarget;  // per handle handed out: its target, or -1 once killed
  std::vector<HANDLE> handed;
};

FakeSystem& Fake(void* context) { return *static_cast<FakeSystem*>(context); }
int TargetOf(const char* name) { return std::string(name) == "QelSoftClient.exe" ? 1 : 0; }
std::wstring EventName(size_t serial) {
  return L"Local\\quorvane-stop-phase-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(serial);
}

ScopedHandle FakeFind(void* context, const char* name) {
  FakeSystem& fake = Fake(context);
  const int target = TargetOf(name);
  const bool running = fake.killsToEnd[target] == kNever || fake.kills[target] < fake.killsToEnd[target];
  fake.trace.push_back(std::string("find ") + name + (running ? ": found" : ": none"));
  if (!running) return ScopedHandle();
  fake.handed.push_back(CreateEventW(nullptr, TRUE, FALSE, EventName(fake.handed.size()).c_str()));
  fake.handedTarget.push_back(target);
  return ScopedHandle(fake.handed.back());
}

void FakeKill(void* context, ScopedHandle process) {
  FakeSystem& fake = Fake(context);
  EXPECT_EQ(process.Get(), fake.handed.back()) << "the loops kill what their last search found";
  const int target = fake.handedTarget.back();
  fake.handedTarget.back() = -1;
  fake.kills[target]++;
  fake.trace.push_back(target == 0 ? "kill QuorvaneSoftware.exe" : "kill QelSoftClient.exe");
  fake.now += fake.killCostMs;
}  // the handle closes here, as KillProcess closes it

ULONGLONG FakeTickCount(void* context) { return Fake(context).now; }
void FakeSleep(void* context, DWORD ms) {
  Fake(context).trace.push_back("sleep " + std::to_string(ms));
  Fake(context).now += ms;
}
void FakeLog(void* context, const char* message) { Fake(context).trace.push_back(std::string("log ") + message); }

// Runs the phase; answers the handles it left behind that are still open, and counts in
// closedLeftovers those it left behind but closed (the loops must not close them).
int RunPhase(FakeSystem& fake, ULONGLONG startMark, bool& answer, int& closedLeftovers) {
  fake.now = startMark;
  const StopPhaseSystem system = {&fake, FakeFind, FakeKill, FakeTickCount, FakeSleep, FakeLog};
  answer = RunStopPhase(system, startMark);
  int open = 0;
  closedLeftovers = 0;
  for (size_t i = 0; i < fake.handed.size(); ++i) {
    if (fake.handedTarget[i] < 0) continue;
    // A named event lives only while a handle to it is open.
    ScopedHandle probe(OpenEventW(SYNCHRONIZE, FALSE, EventName(i).c_str()));
    if (!probe.IsValid()) {
      closedLeftovers++;
      continue;
    }
    open++;
    ScopedHandle left(fake.handed[i]);  // the test closes what the loops rightly left open
  }
  return open;
}

TEST(StopPhase, EachKillFollowsA50msPauseAndIsFollowedByASearch) {
  FakeSystem fake;
  fake.killsToEnd[0] = fake.killsToEnd[1] = 1;
  bool answer = false;
  int closedLeftovers = 0;
  EXPECT_EQ(RunPhase(fake, 1000, answer, closedLeftovers), 0);
  const std::vector<std::string> expected = {"find QuorvaneSoftware.exe: found",
                                             "sleep 50",
                                             "kill QuorvaneSoftware.exe",
                                             "find QuorvaneSoftware.exe: none",
                                             kFirstLoopDone,
                                             "find QelSoftClient.exe: found",
                                             "sleep 50",
                                             "kill QelSoftClient.exe",
                                             "find QelSoftClient.exe: none"};
  EXPECT_EQ(fake.trace, expected);
  EXPECT_TRUE(answer);
}

// With 2500 ms passes the budget test sees exactly 5000 ms after two passes (not over) and
// 7500 ms after the third.
struct BudgetCase {
  const char* title;
  ULONGLONG startMark;
  int killsToEnd[2];
  int kills[2];
  bool budgetLine;
  bool answer;
  int leftOpen;  // processes found again as the budget ran out: their handles stay open
};

const BudgetCase kBudgetCases[] = {
    {"nothing running", 1000, {0, 0}, {0, 0}, false, true, 0},
    {"second client that never ends", 1000, {0, kNever}, {0, 3}, false, false, 1},
    {"second client ends on its second kill", 1000, {0, 2}, {0, 2}, false, true, 0},
    {"second client ended on the pass that spends the budget", 1000, {0, 3}, {0, 3}, false, true, 0},
    {"client that never ends, no second client", 1000, {kNever, 0}, {3, 0}, true, true, 1},
    {"first loop spent the budget, second client ends on its one kill", 1000, {kNever, 1}, {3, 1}, true, true, 1},
    {"first loop spent the budget, second client survives its one kill",
     1000,
     {kNever, kNever},
     {3, 1},
     true,
     false,
     2},
    {"start mark 3000 ms below 2^32", kTwoPow32 - 3000, {0, kNever}, {0, 3}, false, false, 1},
    {"start mark 1 ms below 2^32", kTwoPow32 - 1, {kNever, 0}, {3, 0}, true, true, 1},
    {"start mark beyond 3 * 2^32", kTwoPow32 * 3 + 100, {kNever, kNever}, {3, 1}, true, false, 2},
};

TEST(StopPhase, BudgetAnswerAndAbandonedHandles) {
  for (const BudgetCase& c : kBudgetCases) {
    SCOPED_TRACE(c.title);
    FakeSystem fake;
    fake.killsToEnd[0] = c.killsToEnd[0];
    fake.killsToEnd[1] = c.killsToEnd[1];
    bool answer = false;
    int closedLeftovers = 0;
    EXPECT_EQ(RunPhase(fake, c.startMark, answer, closedLeftovers), c.leftOpen);
    EXPECT_EQ(closedLeftovers, 0);
    EXPECT_EQ(fake.kills[0], c.kills[0]);
    EXPECT_EQ(fake.kills[1], c.kills[1]);
    EXPECT_EQ(answer, c.answer);
    // One budget line at most, from the first loop only, right after the search that found the
    // client again; then the first loop's closing line.
    const auto budget = std::find(fake.trace.begin(), fake.trace.end(), kBudgetLine);
    EXPECT_EQ(std::count(fake.trace.begin(), fake.trace.end(), kBudgetLine), c.budgetLine ? 1 : 0);
    EXPECT_EQ(std::count(fake.trace.begin(), fake.trace.end(), kFirstLoopDone), 1);
    if (c.budgetLine && budget != fake.trace.end()) {
      EXPECT_EQ(*(budget - 1), "find QuorvaneSoftware.exe: found");
      EXPECT_EQ(*(budget + 1), kFirstLoopDone);
    }
  }
}

}  // namespace
