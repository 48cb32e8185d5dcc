// The built release tool run for real under Wine: the three archives it embeds reach the install
// root byte for byte, its payload lines say so, and a target in use is retried and left alone.
#include <gtest/gtest.h>

#include "deploy/resource_writer.h"
#include "tests/deploy/deploy_test_support.h"

namespace {

struct Archive {
  const wchar_t* name;
  int id;
};
const Archive kArchives[] = {{L"ImgRes.zip", 137}, {L"Drivers.zip", 138}, {L"SoftQuorvane.zip", 144}};

std::wstring ReleaseTool() { return BuildArtifact(L"app/QuorvaneReleaseTool.exe"); }

// The archive as the built executable carries it, read with the executable mapped as data.
std::string EmbeddedArchive(int id) {
  HMODULE tool = LoadLibraryExW(ReleaseTool().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (tool == nullptr) return "";
  std::string bytes;
  HRSRC found = FindResourceW(tool, MAKEINTRESOURCEW(id), L"ZIP");
  const char* data = found ? static_cast<const char*>(LockResource(LoadResource(tool, found))) : nullptr;
  if (data != nullptr) bytes.assign(data, SizeofResource(tool, found));
  FreeLibrary(tool);
  return bytes;
}

std::string InstalledPath(const wchar_t* name) { return Narrow(InstallRoot() + L"\\" + name); }

std::string PayloadLine(int ret, int count, const wchar_t* name) {
  return "ReleaseResFile ret = " + std::to_string(ret) + " iReCount = " + std::to_string(count) + "  " +
         InstalledPath(name) + "\n";
}

// The log's payload lines, each with its LF, in order.
std::vector<std::string> PayloadLinesOfLog() {
  std::vector<std::string> payload;
  for (const std::string& line : SplitLines(Contents(InstallRoot() + L"\\ReleaseToolLog.txt"), "\n"))
    if (line.rfind("ReleaseResFile", 0) == 0) payload.push_back(line + "\n");
  return payload;
}

bool NoTemporaryFileIn(const std::wstring& folder) {
  const std::wstring suffix = kTemporarySuffix;
  for (const std::wstring& name : ListFolder(folder))
    if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
      return false;
  return true;
}

class PayloadRelease : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const Archive& archive : kArchives)
      if (EmbeddedArchive(archive.id).empty()) GTEST_SKIP() << "the built tool embeds no \"ZIP\" resources yet";
    EndLaunchedClients();
    ASSERT_TRUE(RemoveTree(AppDataFolder() + L"\\Quorvane"));
  }
  // Each run launches the client it unpacked.
  void TearDown() override {
    EndLaunchedClients();
    RemoveTree(AppDataFolder() + L"\\Quorvane");
  }
};

TEST_F(PayloadRelease, FirstRunCreatesTheInstallRootAndWritesTheArchivesAsBuilt) {
  EXPECT_EQ(RunToEnd(ReleaseTool(), 60000), 0);
  // The log was opened before the release created its folder.
  EXPECT_FALSE(PathExists(InstallRoot() + L"\\ReleaseToolLog.txt"));
  for (const Archive& archive : kArchives) {
    const std::string installed = Contents(InstallRoot() + L"\\" + archive.name);
    EXPECT_EQ(installed, EmbeddedArchive(archive.id)) << Narrow(archive.name);
    EXPECT_EQ(installed, Contents(BuildArtifact(std::wstring(L"payload/") + archive.name))) << Narrow(archive.name);
  }
  EXPECT_TRUE(NoTemporaryFileIn(InstallRoot()));
}

TEST_F(PayloadRelease, SecondRunLogsOneSuccessfulLinePerArchive) {
  ASSERT_EQ(RunToEnd(ReleaseTool(), 60000), 0);
  ASSERT_EQ(RunToEnd(ReleaseTool(), 60000), 0);
  EXPECT_EQ(PayloadLinesOfLog(),
            (std::vector<std::string>{PayloadLine(1, 0, L"ImgRes.zip"), PayloadLine(1, 0, L"Drivers.zip"),
                                      PayloadLine(1, 0, L"SoftQuorvane.zip")}));
  EXPECT_TRUE(NoTemporaryFileIn(InstallRoot()));
}

// The exit status says what happened: a client updated beside a driver archive that could not be
// written is 7, not the 2 of an old client that stays.
TEST_F(PayloadRelease, TargetHeldOpenIsTriedElevenTimesAndLeftAsItWas) {
  const struct {
    const wchar_t* held;
    int status;
  } rows[] = {{L"Drivers.zip", 7}, {L"SoftQuorvane.zip", 2}};
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.held, row.held + std::wcslen(row.held)));
    ASSERT_EQ(RunToEnd(ReleaseTool(), 60000), 0);
    const std::wstring heldPath = InstallRoot() + L"\\" + row.held;
    ASSERT_TRUE(WriteFileBytes(heldPath, "archive in use"));
    {
      // This test process plays the client that still has the archive open, sharing nothing.
      ScopedHandle held(
          CreateFileW(heldPath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
      ASSERT_TRUE(held.IsValid());
      if (row.status == 7) {
        ASSERT_TRUE(DeleteFileW((InstallRoot() + L"\\SoftQuorvane.zip").c_str()));
      }
      ASSERT_EQ(RunToEnd(ReleaseTool(), 60000), row.status);
    }
    std::vector<std::string> expected;
    for (const Archive& archive : kArchives) {
      const bool isHeld = std::wcscmp(archive.name, row.held) == 0;
      expected.push_back(PayloadLine(isHeld ? 0 : 1, 0, archive.name));
      for (int count = 0; isHeld && count < 10; ++count) expected.push_back(PayloadLine(0, count, archive.name));
    }
    EXPECT_EQ(PayloadLinesOfLog(), expected);
    EXPECT_EQ(Contents(heldPath), "archive in use");
    for (const Archive& archive : kArchives) {
      if (std::wcscmp(archive.name, row.held) != 0) {
        EXPECT_EQ(Contents(InstallRoot() + L"\\" + archive.name), EmbeddedArchive(archive.id));
      }
    }
    EXPECT_TRUE(NoTemporaryFileIn(InstallRoot()));
  }
}

}  // namespace
