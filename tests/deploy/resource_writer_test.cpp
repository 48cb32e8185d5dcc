// ReleaseResFile against the test executable's own resources: a target is either replaced by the
// whole resource or left exactly as it was, and no temporary file outlives a call.
#include "deploy/resource_writer.h"

#include "install/release_names.h"
#include "tests/deploy/deploy_test_support.h"

namespace {

using Names = std::vector<std::wstring>;
const std::string kOldContents = "old archive, must survive a failed write";

class ResourceWriter : public ScratchFolderTest {};

TEST_F(ResourceWriter, ReplacesALongerOldFileWithExactlyTheResource) {
  ASSERT_TRUE(WriteFileBytes(Path(L"Drivers.zip"), std::string(100000, 'x')));
  EXPECT_EQ(ReleaseResFile(kDriversId, "ZIP", Path(L"Drivers.zip").c_str()), 1);
  EXPECT_EQ(Contents(Path(L"Drivers.zip")), OwnResource(kDriversId));
  EXPECT_EQ(ListFolder(folder_), Names{L"Drivers.zip"});
}

TEST_F(ResourceWriter, FailureLeavesTheOldTargetAndNoTemporaryFile) {
  ASSERT_TRUE(WriteFileBytes(Path(L"old.zip"), kOldContents));
  const std::wstring old = Path(L"old.zip");
  const std::wstring inMissingFolder = Path(L"absent\\new.zip");
  struct Case {
    const char* what;
    int id;
    const char* type;
    const wchar_t* target;
  } cases[] = {
      {"missing resource", kAbsentId, "ZIP", old.c_str()},
      {"type of another name", kDriversId, "RCDATA", old.c_str()},
      {"null type", kDriversId, nullptr, old.c_str()},
      {"null target", kDriversId, "ZIP", nullptr},
      {"folder missing", kDriversId, "ZIP", inMissingFolder.c_str()},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReleaseResFile(c.id, c.type, c.target), 0) << c.what;
    EXPECT_EQ(Contents(Path(L"old.zip")), kOldContents) << c.what;
    EXPECT_EQ(ListFolder(folder_), Names{L"old.zip"}) << c.what;
  }
}

// Another process may hold the old archive open; whatever it shares, a file in use is not
// replaced under it.
TEST_F(ResourceWriter, TargetHeldOpenByAnotherHandleIsNotReplaced) {
  ASSERT_TRUE(WriteFileBytes(Path(L"held.zip"), kOldContents));
  for (DWORD share : {0ul, 1ul, 3ul, 7ul}) {
    ScopedHandle held(CreateFileW(Path(L"held.zip").c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held.IsValid());
    EXPECT_EQ(ReleaseResFile(kDriversId, "ZIP", Path(L"held.zip").c_str()), 0) << "share " << share;
    held.Reset();
    EXPECT_EQ(Contents(Path(L"held.zip")), kOldContents) << "share " << share;
    EXPECT_EQ(ListFolder(folder_), Names{L"held.zip"}) << "share " << share;
  }
}

// Writes the first half for real, then reports it: a disk that filled up midway.
BOOL WINAPI ShortWrite(HANDLE file, LPCVOID bytes, DWORD size, LPDWORD written, LPOVERLAPPED) {
  return WriteFile(file, bytes, size / 2, written, nullptr);
}
BOOL WINAPI FailedWrite(HANDLE file, LPCVOID bytes, DWORD size, LPDWORD written, LPOVERLAPPED) {
  WriteFile(file, bytes, size / 2, written, nullptr);
  SetLastError(ERROR_DISK_FULL);
  return FALSE;
}

TEST_F(ResourceWriter, IncompleteWriteNeverReachesTheTarget) {
  const std::string resource = OwnResource(kClientId);
  ASSERT_TRUE(WriteFileBytes(Path(L"old.zip"), kOldContents));
  for (WriteFileCall writeCall : {ShortWrite, FailedWrite}) {
    EXPECT_EQ(ReplaceFileContents(Path(L"old.zip").c_str(), resource.data(), resource.size(), writeCall), 0);
    EXPECT_EQ(ReplaceFileContents(Path(L"new.zip").c_str(), resource.data(), resource.size(), writeCall), 0);
    EXPECT_EQ(Contents(Path(L"old.zip")), kOldContents);
    EXPECT_EQ(ListFolder(folder_), Names{L"old.zip"});
  }
}

// The target fits 260 characters but its temporary name would not: refused rather than cut.
TEST_F(ResourceWriter, TargetWithoutRoomForTheTemporaryNameIsRefused) {
  const std::wstring folder = Path(L"");
  const std::wstring target = folder + std::wstring(kPathCapacity - 1 - folder.size() - 2, L'n') + L".z";
  ASSERT_EQ(target.size(), static_cast<size_t>(kPathCapacity - 1));
  EXPECT_EQ(ReleaseResFile(kDriversId, "ZIP", target.c_str()), 0);
  EXPECT_TRUE(ListFolder(folder_).empty());
}

// A target, or a temporary file a crashed run left, that is a hard link to a file elsewhere: the
// new archive takes the name, and the other file keeps its bytes.
TEST_F(ResourceWriter, LinkedTargetOrTemporaryIsReplacedNeverWrittenThrough) {
  ASSERT_TRUE(WriteFileBytes(Path(L"elsewhere"), kOldContents));
  ASSERT_TRUE(CreateHardLinkW(Path(L"Drivers.zip").c_str(), Path(L"elsewhere").c_str(), nullptr));
  ASSERT_TRUE(CreateHardLinkW(Path(L"Drivers.zip.tmp").c_str(), Path(L"elsewhere").c_str(), nullptr));
  EXPECT_EQ(ReleaseResFile(kDriversId, "ZIP", Path(L"Drivers.zip").c_str()), 1);
  EXPECT_EQ(Contents(Path(L"Drivers.zip")), OwnResource(kDriversId));
  EXPECT_EQ(Contents(Path(L"elsewhere")), kOldContents);
  EXPECT_EQ(ListFolder(folder_), (Names{L"Drivers.zip", L"elsewhere"}));
}

}  // namespace
