// The release tool run over an older install while something goes wrong underneath it: a client
// file held open, an install folder that refuses new entries, one that refuses every write, a
// disk that fills up, a second copy of the tool. Each run ends with the status of what it did after
// "OnReleaseFile Client Run" and "OnReleaseFile End", each file of the install is either its old or its new version,
// whole, no temporary file stays behind, and where the log can be written it names what failed. (A payload archive held
// open and clients that will not go are covered by the payload and stop phase tests.)
#include <windows.h>

#include <gtest/gtest.h>
#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/scoped_handle.h"
#include "tests/faults/host_faults.h"
#include "tests/release/release_run.h"
#include "tests/support/win_test_support.h"

namespace {

const wchar_t* const kArchives[] = {L"ImgRes.zip", L"Drivers.zip", L"SoftQuorvane.zip"};
const std::vector<std::string> kBeforeUnpack = {"OnReleaseFile Begin", "OnReleaseFile Close Old Process",
                                                "OnReleaseFile Close Replace File", "Quorvane.zip UnZip"};
const std::vector<std::string> kLastLines = {"OnReleaseFile Client Run", "OnReleaseFile End"};

using Files = std::map<std::wstring, std::string>;  // name in the install root -> contents

// What this release installs: the three archives and the client's files.
Files NewRelease() {
  Files files;
  for (const wchar_t* archive : kArchives)
    files[archive] = Contents(BuildArtifact(std::wstring(L"payload/") + archive));
  for (const std::wstring& name : ListFolder(ReferenceClientFiles()))
    files[name] = Contents(ReferenceClientFiles() + L"\\" + name);
  return files;
}

// The log's frame around the unpack must be whole; the lines between are the entries that were not
// installed, each "UnzipToFolder <one of events> <name>". Answers their names.
std::multiset<std::wstring> NotInstalled(const ReleaseLog& log, const std::vector<std::string>& events) {
  std::multiset<std::wstring> names;
  const std::vector<std::string>& lines = log.messages;
  const std::size_t frame = kBeforeUnpack.size() + kLastLines.size();
  EXPECT_TRUE(log.exists);
  if (lines.size() < frame) {
    ADD_FAILURE() << "the log holds " << lines.size() << " milestone lines";
    return names;
  }
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + kBeforeUnpack.size()), kBeforeUnpack);
  EXPECT_EQ(std::vector<std::string>(lines.end() - kLastLines.size(), lines.end()), kLastLines);
  for (std::size_t i = kBeforeUnpack.size(); i + kLastLines.size() < lines.size(); ++i) {
    bool matched = false;
    for (const std::string& event : events) {
      const std::string prefix = "UnzipToFolder " + event + " ";
      if (lines[i].compare(0, prefix.size(), prefix) != 0) continue;
      names.insert(Widen(lines[i].substr(prefix.size())));
      matched = true;
    }
    EXPECT_TRUE(matched) << "unexpected line: " << lines[i];
  }
  return names;
}

std::string PayloadLine(int ret, int count, const wchar_t* archive) {
  return "ReleaseResFile ret = " + std::to_string(ret) + " iReCount = " + std::to_string(count) + "  " +
         Narrow(InstalledFile(archive));
}

class ReleaseFault : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetInstall(false);
    newRelease_ = NewRelease();
    ASSERT_GE(newRelease_.size(), 5u) << Narrow(ReferenceClientFiles());
  }

  void TearDown() override {
    EndLaunchedClients();
    RemoveHostLink(AppDataFolder() + L"\\Quorvane");
    RemoveHostLink(InstallRoot());
    LiftImmutable(AppDataFolder() + L"\\Quorvane");
    UnmountTinyDisk(AppDataFolder());
    ResetInstall(false);
  }

  // An older release in the install root: the same names with other contents, each named here.
  // keepClientArchive: SoftQuorvane.zip is already this release's, so the unpack has work to do
  // even when no archive can be written.
  // An older release in the install root: the same names with other contents. clientFiles: how
  // many of the client's files it has. keepClientArchive: SoftQuorvane.zip is already this
  // release's, so the unpack has work to do even when no archive can be written.
  void WriteOldInstall(bool keepClientArchive, std::size_t clientFiles = 1000) {
    ASSERT_TRUE(CreateFolders(InstallRoot()));
    for (const wchar_t* archive : kArchives) old_[archive] = "old " + Narrow(archive);
    if (keepClientArchive) old_[L"SoftQuorvane.zip"] = newRelease_[L"SoftQuorvane.zip"];
    const std::vector<std::wstring> names = ListFolder(ReferenceClientFiles());
    for (std::size_t i = 0; i < names.size() && i < clientFiles; ++i) old_[names[i]] = "old " + Narrow(names[i]);
    old_[L"ReleaseToolLog.txt"] = "the old log";
    old_[L"ToolFiePath.txt"] = "C:\\old\\QuorvaneReleaseTool.exe";
    for (const auto& file : old_) ASSERT_TRUE(WriteFileBytes(InstalledFile(file.first), file.second));
  }

  // Every name in the install root is one of the old or the new release's (or a record of the
  // launched client), and holds one of their versions whole. Answers the names now new.
  std::set<std::wstring> CheckEveryFileOldOrNew() {
    std::set<std::wstring> replaced;
    for (const std::wstring& name : ListFolder(InstallRoot())) {
      if (name == L"ReleaseToolLog.txt" || name == L"ToolFiePath.txt" || name == L"QuorvaneSoftware.started" ||
          name == L"QuorvaneSoftware.closed" || name == L"Quorvane.qvrecord")
        continue;
      const std::string now = Contents(InstalledFile(name));
      const auto old = old_.find(name);
      const auto fresh = newRelease_.find(name);
      const bool isOld = old != old_.end() && now == old->second;
      const bool isNew = fresh != newRelease_.end() && now == fresh->second;
      EXPECT_TRUE(isOld || isNew) << Narrow(name) << ": " << now.size() << " bytes, neither version";
      if (isNew && !isOld) replaced.insert(name);
    }
    return replaced;
  }

  void RunAndExpectExit(long status) { ASSERT_EQ(RunReleaseTool(), status); }

  Files newRelease_;
  Files old_;
};

// The client's unpacked files are in use by another process (a running client's library): it
// cannot be set aside, so the update is not applied at all (the old client is whole, never mixed
// with the new one), the log names the file and says so, and the old client is launched.
TEST_F(ReleaseFault, ClientFileHeldOpenKeepsTheWholeOldVersionAndIsLogged) {
  WriteOldInstall(false);
  const std::wstring held = L"QvCore.dll";
  ASSERT_EQ(old_.count(held), 1u);
  old_[L"QuorvaneSoftware.exe"] = newRelease_[L"QuorvaneSoftware.exe"];  // an old client that runs
  ASSERT_TRUE(WriteFileBytes(InstalledFile(L"QuorvaneSoftware.exe"), old_[L"QuorvaneSoftware.exe"]));
  {
    ScopedHandle file(CreateFileW(InstalledFile(held).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file.IsValid());
    RunAndExpectExit(2);
  }
  const ReleaseLog log = ReadReleaseLog();
  EXPECT_EQ(NotInstalled(log, {"Move Failed", "Update Not Applied"}),
            (std::multiset<std::wstring>{held, InstallRoot()}));
  EXPECT_EQ(log.payloadLines,
            (std::vector<std::string>{PayloadLine(1, 0, L"ImgRes.zip"), PayloadLine(1, 0, L"Drivers.zip"),
                                      PayloadLine(1, 0, L"SoftQuorvane.zip")}));
  EXPECT_EQ(CheckEveryFileOldOrNew(), std::set<std::wstring>(std::begin(kArchives), std::end(kArchives)));
  EXPECT_TRUE(WaitForFile(InstalledFile(L"QuorvaneSoftware.started"), 20000)) << "the old client was not launched";
}

// An on-access scanner holds every file just written, or just renamed into place, for about a
// second, as real-time scanners on Windows do: each rename, delete and open meanwhile fails with a
// sharing violation. The update waits every hold out and arrives whole; the log names the files
// that were held, and nothing of the switch stays beside them.
TEST_F(ReleaseFault, ScannerHoldingEveryNewFileForAMomentOnlyDelaysTheUpdate) {
  WriteOldInstall(false);
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring ready = std::wstring(temp) + L"qv_scanner_ready";
  DeleteFileW(ready.c_str());
  ChildProcess scanner;
  ASSERT_TRUE(scanner.Start(BuildArtifact(L"tests/faults/faults_scanner_stand_in.exe"),
                            L"\"" + InstallRoot() + L"\" 1000 \"" + ready + L"\""));
  ASSERT_TRUE(WaitForFile(ready, 20000));
  RunAndExpectExit(0);
  scanner.End();

  std::set<std::wstring> all;
  for (const auto& file : newRelease_) all.insert(file.first);
  EXPECT_EQ(CheckEveryFileOldOrNew(), all);
  EXPECT_FALSE(NotInstalled(ReadReleaseLog(), {"File Held"}).empty()) << "no file was held: the case proves nothing";
  EXPECT_TRUE(WaitForFile(InstalledFile(L"QuorvaneSoftware.started"), 20000));
}

// A folder whose access list lets its files be written but nothing be created, deleted or renamed
// in it: no archive and no client file can be replaced (both go through a new file beside the
// target), every attempt is logged, and the old install stays whole.
TEST_F(ReleaseFault, InstallFolderThatRefusesNewEntriesKeepsTheOldInstallAndLogsEveryAttempt) {
  WriteOldInstall(true);
  if (!MakeImmutable(InstallRoot()) || CanCreateIn(InstallRoot()))
    GTEST_SKIP() << "this host cannot make a folder refuse new entries (chattr +i as root)";
  RunAndExpectExit(2);
  LiftImmutable(InstallRoot());

  const ReleaseLog log = ReadReleaseLog();
  const std::vector<std::wstring> clientFiles = ListFolder(ReferenceClientFiles());
  std::multiset<std::wstring> notInstalled(clientFiles.begin(), clientFiles.end());
  notInstalled.insert(InstallRoot());
  EXPECT_EQ(NotInstalled(log, {"Create Failed", "Update Not Applied"}), notInstalled);
  std::vector<std::string> payload;
  for (const wchar_t* archive : kArchives) {
    payload.push_back(PayloadLine(0, 0, archive));
    for (int count = 0; count < 10; ++count) payload.push_back(PayloadLine(0, count, archive));
  }
  EXPECT_EQ(log.payloadLines, payload);
  EXPECT_EQ(CheckEveryFileOldOrNew(), std::set<std::wstring>{});
  EXPECT_EQ(ListFolder(InstallRoot()).size(), old_.size()) << "a name appeared or went";
}

// Nothing in the install folder can be written, not even the log: the run changes nothing, cannot
// say so anywhere, and still ends normally.
TEST_F(ReleaseFault, InstallFolderThatRefusesEveryWriteIsLeftUntouched) {
  WriteOldInstall(true);
  for (const auto& file : old_) {
    if (!MakeImmutable(InstalledFile(file.first))) GTEST_SKIP() << "this host cannot make a file read-only";
  }
  if (!MakeImmutable(InstallRoot()) || CanCreateIn(InstallRoot()) ||
      WriteFileBytes(InstalledFile(L"ToolFiePath.txt"), "x"))
    GTEST_SKIP() << "this host cannot make a folder read-only (chattr +i as root)";
  RunAndExpectExit(2);
  LiftImmutable(InstallRoot());

  for (const auto& file : old_) EXPECT_EQ(Contents(InstalledFile(file.first)), file.second) << Narrow(file.first);
  EXPECT_EQ(ListFolder(InstallRoot()).size(), old_.size()) << "a name appeared or went";
}

// The disk fills up during the update: the archives still fit, the client's staged files only in
// part. Each file that does not fit is named in the log and the update is not applied: every
// client file keeps its old version, and no staged file is left to take the space. A first install
// that fails so leaves no client file at all.
TEST_F(ReleaseFault, DiskThatFillsUpLeavesEveryFileWholeAndLogsWhatDidNotFit) {
  std::uint64_t archives = 0;
  for (const wchar_t* archive : kArchives) archives += newRelease_[archive].size();
  for (const std::size_t oldClientFiles : {6, 0}) {
    SCOPED_TRACE(oldClientFiles);
    UnmountTinyDisk(AppDataFolder());
    ResetInstall(false);
    old_.clear();
    // Room for the old install, the new archives and about two of the client's larger files. The
    // disk holds APPDATA: a volume mounted on the install root itself is a reparse point and refused.
    constexpr std::uint64_t kSpare = 320 * 1024;
    if (!MountTinyDisk(AppDataFolder(), archives + kSpare))
      GTEST_SKIP() << "this host cannot mount a small file system (mount as root)";
    WriteOldInstall(false, oldClientFiles);
    RunAndExpectExit(2);

    std::multiset<std::wstring> failed =
        NotInstalled(ReadReleaseLog(), {"Write Failed", "Create Failed", "Update Not Applied"});
    EXPECT_EQ(failed.erase(InstallRoot()), 1u);
    EXPECT_EQ(CheckEveryFileOldOrNew(), std::set<std::wstring>(std::begin(kArchives), std::end(kArchives)));
    std::printf("full disk: %zu of the client's %zu files did not fit\n", failed.size(),
                ListFolder(ReferenceClientFiles()).size());
    EXPECT_FALSE(failed.empty()) << "the disk did not fill up: the case proves nothing";
    const std::string toolPath = Contents(InstalledFile(L"ToolFiePath.txt"));
    EXPECT_TRUE(toolPath == old_[L"ToolFiePath.txt"] || toolPath == Narrow(ReleaseToolPath())) << toolPath;
  }
}

// A crash or power cut stopped an earlier switch halfway: some client files set aside and replaced,
// the rest staged. The next run takes that back before it stops anything (the log says so), then
// applies its own update whole, and nothing of the half switch is left beside the files.
TEST_F(ReleaseFault, SwitchThatACrashInterruptedIsTakenBackByTheNextRun) {
  // The journal may be held when the run starts (a scanner still reads it): the repair waits; one
  // held all along stays for the next run.
  enum HoldKind { kFree, kLetGoSoon, kNeverLetGo };
  const struct {
    const char* what;
    HoldKind kind;
  } holds[] = {{"journal free", kFree}, {"journal held a moment", kLetGoSoon}, {"journal held all along", kNeverLetGo}};
  for (const auto& hold : holds) {
    SCOPED_TRACE(hold.what);
    ResetInstall(false);
    WriteOldInstall(false);
    std::string journal = "quorvane switch 1\nswitching\n";
    const std::vector<std::wstring> names = ListFolder(ReferenceClientFiles());
    for (std::size_t i = 0; i < names.size(); ++i) {
      const std::wstring target = InstalledFile(names[i]);
      journal += "O " + Narrow(names[i]) + "\n";
      if (i < names.size() / 2) {
        ASSERT_TRUE(WriteFileBytes(target + L".qvold", old_[names[i]]));
        ASSERT_TRUE(WriteFileBytes(target, "half of a switch"));
      } else {
        ASSERT_TRUE(WriteFileBytes(target + L".qvtmp", "staged"));
      }
    }
    ASSERT_TRUE(WriteFileBytes(InstalledFile(L"Quorvane.qvjournal"), journal));
    ScopedHandle held(hold.kind != kFree ? CreateFileW(InstalledFile(L"Quorvane.qvjournal").c_str(), GENERIC_READ, 0,
                                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)
                                         : INVALID_HANDLE_VALUE);
    // Let go a second after the run began, when the repair is waiting for it.
    std::thread letGo([&held, &hold] {
      if (hold.kind != kLetGoSoon) return;
      for (int i = 0; i < 600 && ReadReleaseLog().messages.empty(); ++i) Sleep(100);
      Sleep(1000);
      held.Reset();
    });
    RunAndExpectExit(hold.kind == kNeverLetGo ? 6 : 0);
    letGo.join();
    held.Reset();

    const ReleaseLog log = ReadReleaseLog();
    ASSERT_GE(log.messages.size(), 3u);
    if (hold.kind == kNeverLetGo) {
      // A journal that cannot be read cannot be acted on: the folder may mix two versions, so the
      // client is not started.
      const std::vector<std::string>& messages = log.messages;
      EXPECT_NE(std::find(messages.begin(), messages.end(), "OnReleaseFile Client Not Started"), messages.end());
      continue;
    }
    const std::string undone = "UnzipToFolder Switch Undone " + Narrow(InstallRoot());
    EXPECT_EQ(log.messages[hold.kind == kLetGoSoon ? 2 : 1], undone);
    if (hold.kind == kLetGoSoon) {
      EXPECT_EQ(log.messages[1], "UnzipToFolder File Held Quorvane.qvjournal");
    }
    std::set<std::wstring> all;
    for (const auto& file : newRelease_) all.insert(file.first);
    EXPECT_EQ(CheckEveryFileOldOrNew(), all);
    EndLaunchedClients();
  }
}

// Links that any process of the user can make in the install root, while the release runs
// elevated: a junction on Windows, a Unix symbolic link here. A folder that is a link leaves no
// usable install root: the running client is not stopped and nothing lands at the link's other
// end. A log or tool-path file that is a hard link to a file elsewhere is replaced, and the other
// file keeps its bytes.
TEST_F(ReleaseFault, NothingIsWrittenThroughALink) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring elsewhere = std::wstring(temp) + L"qv_elsewhere";
  const std::wstring quorvane = AppDataFolder() + L"\\Quorvane";
  enum Link { kProductFolder, kInstallRoot, kHardLinkedFiles };
  const struct {
    const char* what;
    Link link;
  } cases[] = {{"Quorvane is a link", kProductFolder},
               {"Quorvane\\Software is a link", kInstallRoot},
               {"log and tool-path file are hard links", kHardLinkedFiles}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ResetInstall(false);
    ASSERT_TRUE(RemoveTree(elsewhere));
    ASSERT_TRUE(CreateFolders(elsewhere + L"\\Software"));
    const Files outside = {{L"Software\\ReleaseToolLog.txt", "not a log"},
                           {L"Software\\ToolFiePath.txt", "not a path"}};
    for (const auto& file : outside) ASSERT_TRUE(WriteFileBytes(elsewhere + L"\\" + file.first, file.second));
    if (c.link == kProductFolder) {
      if (!MakeHostLink(elsewhere, quorvane)) GTEST_SKIP() << "this host cannot make a link in the prefix";
    } else {
      ASSERT_TRUE(CreateFolders(quorvane));
      if (c.link == kInstallRoot && !MakeHostLink(elsewhere + L"\\Software", InstallRoot()))
        GTEST_SKIP() << "this host cannot make a link in the prefix";
      if (c.link == kHardLinkedFiles) {
        ASSERT_TRUE(CreateFolders(InstallRoot()));
        for (const auto& file : outside) {
          const std::wstring name = file.first.substr(file.first.find(L'\\') + 1);
          ASSERT_TRUE(CreateHardLinkW(InstalledFile(name).c_str(), (elsewhere + L"\\" + file.first).c_str(), nullptr));
        }
      }
    }
    ChildProcess client;
    ASSERT_TRUE(StartRunningClient(client));

    RunAndExpectExit(c.link == kHardLinkedFiles ? 0 : 4);

    for (const auto& file : outside) EXPECT_EQ(Contents(elsewhere + L"\\" + file.first), file.second);
    if (c.link == kHardLinkedFiles) {
      EXPECT_TRUE(client.Wait(20000)) << "the running client was not stopped";
      EXPECT_EQ(ReadReleaseLog().messages.back(), "OnReleaseFile End");
      EXPECT_EQ(Contents(InstalledFile(L"ToolFiePath.txt")), Narrow(ReleaseToolPath()));
    } else {
      EXPECT_TRUE(client.IsRunning()) << "a client was stopped with no release to follow";
      EXPECT_EQ(ListFolder(elsewhere + L"\\Software"),
                (std::vector<std::wstring>{L"ReleaseToolLog.txt", L"ToolFiePath.txt"}));
    }
    client.End();
    EndLaunchedClients();
    RemoveHostLink(quorvane);
    RemoveHostLink(InstallRoot());
  }
  ResetInstall(false);
  RemoveTree(elsewhere);
}

// Two copies of the tool at once over an old install (a double click, the client's own updater
// beside an old download): the second waits for the first, then releases over what it left, so
// both end with 0 and one whole version stands with nothing of a switch beside it.
TEST_F(ReleaseFault, TwoCopiesAtOnceReleaseOneAfterTheOther) {
  WriteOldInstall(false);
  ChildProcess copies[2];
  for (ChildProcess& copy : copies) ASSERT_TRUE(copy.Start(ReleaseToolPath()));
  DWORD status[2] = {1, 1};
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(copies[i].Wait(120000, &status[i]));
  EXPECT_EQ(status[0] + status[1], 0u);
  std::set<std::wstring> all;
  for (const auto& file : newRelease_) all.insert(file.first);
  EXPECT_EQ(CheckEveryFileOldOrNew(), all);
  RunAndExpectExit(0);
  EXPECT_EQ(CheckEveryFileOldOrNew(), all);
}

// The session's release lock as another copy may leave it. A copy that cannot have it within its
// wait (3 s in this build) stops, writes and starts nothing, adds one line to the log of the release
// that holds it and ends with 1618; one that a killed copy abandoned is taken.
TEST_F(ReleaseFault, CopyThatCannotHaveTheReleaseLockChangesNothing) {
  const wchar_t* const name = L"Local\\Quorvane.ReleaseTool.OneReleaseAtATime";
  PSECURITY_DESCRIPTOR grantsNothing = nullptr;  // as an elevated copy's lock is to an unelevated one
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:", SDDL_REVISION_1, &grantsNothing, nullptr));
  SECURITY_ATTRIBUTES unopenable = {sizeof unopenable, grantsNothing, FALSE};
  for (const long status : {1618, 0, -1618}) {  // held, abandoned, held and unopenable
    SCOPED_TRACE(status);
    ResetInstall(false);
    old_.clear();
    WriteOldInstall(false);
    ASSERT_TRUE(WriteFileBytes(InstalledFile(L"ReleaseToolLog.txt"), old_[L"ReleaseToolLog.txt"] += "\r\n"));
    ChildProcess client;
    ASSERT_TRUE(StartRunningClient(client));
    ScopedHandle lock;
    std::thread([&] { lock.Reset(CreateMutexW(status < 0 ? &unopenable : nullptr, TRUE, name)); }).join();
    if (status == 1618) WaitForSingleObject(lock.Get(), 0);  // taken over from the thread's end: held

    EXPECT_EQ(RunToEnd(BuildArtifact(L"tests/faults/QuorvaneReleaseToolShortWait.exe"), 60000), std::abs(status));
    lock.Reset();
    if (status == 0) continue;
    EXPECT_TRUE(client.IsRunning()) << "a client was stopped with no release to follow";
    EXPECT_EQ(CheckEveryFileOldOrNew(), std::set<std::wstring>{});
    EXPECT_EQ(ListFolder(InstallRoot()).size(), old_.size()) << "a name appeared or went";
    EXPECT_EQ(Contents(InstalledFile(L"ReleaseToolLog.txt")).find(old_[L"ReleaseToolLog.txt"]), 0u) << "log replaced";
    EXPECT_EQ(ReadReleaseLog().messages, std::vector<std::string>{"OnReleaseFile Another Release Running"});
  }
  LocalFree(grantsNothing);
}

}  // namespace
