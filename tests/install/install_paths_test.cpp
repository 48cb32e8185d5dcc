#include "install/install_paths.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "platform/scoped_handle.h"
#include "tests/support/win_test_support.h"

namespace {

TEST(BuildInstallPath, JoinsAppDataSubfolderAndFile) {
  wchar_t path[kPathCapacity];
  ASSERT_TRUE(BuildInstallPath(path, L"C:\\Users\\\u0141ukasz\\AppData\\Roaming", L"ToolFiePath.txt"));
  EXPECT_STREQ(path, L"C:\\Users\\\u0141ukasz\\AppData\\Roaming\\Quorvane\\Software\\ToolFiePath.txt");
  ASSERT_TRUE(BuildInstallPath(path, L"C:\\A", nullptr));
  EXPECT_STREQ(path, L"C:\\A\\Quorvane\\Software");
}

// A path that would be cut at the buffer's end names another file: it is refused whole. The
// longest path of the install is the client executable's temporary name, 259 characters at most.
TEST(BuildInstallPath, RefusesWhatDoesNotFitWithItsTemporaryName) {
  const std::wstring longest = L"\\Quorvane\\Software\\QuorvaneSoftware.exe.qvtmp";
  const std::wstring fits(kPathCapacity - 1 - longest.size(), L'a');
  const std::wstring tooLong = fits + L"a";
  wchar_t path[kPathCapacity];
  EXPECT_TRUE(BuildInstallPath(path, fits.c_str(), L"QuorvaneSoftware.exe"));
  EXPECT_EQ(std::wcslen(path) + 6, static_cast<size_t>(kPathCapacity - 1));
  EXPECT_TRUE(InstallPathsFit(fits.c_str()));

  EXPECT_FALSE(BuildInstallPath(path, tooLong.c_str(), L"QuorvaneSoftware.exe"));
  EXPECT_STREQ(path, L"");
  EXPECT_FALSE(InstallPathsFit(tooLong.c_str()));
  EXPECT_FALSE(InstallPathsFit(L""));
  // The install root alone must leave room for an 8.3 name, as CreateDirectoryW demands.
  EXPECT_TRUE(BuildInstallPath(path, std::wstring(247 - 18, L'a').c_str(), nullptr));
  EXPECT_FALSE(BuildInstallPath(path, std::wstring(248 - 18, L'a').c_str(), nullptr));
}

// Where a folder takes no new entries, a file is rewritten in place only when it is a plain file
// with a single name; whatever it is otherwise keeps its bytes.
TEST(OpenPlainFileToRewrite, EmptiesOnlyAPlainFileWithOneName) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring folder = std::wstring(temp) + L"qv_rewrite";
  RemoveTree(folder);
  ASSERT_TRUE(CreateFolders(folder + L"\\sub"));
  ASSERT_TRUE(WriteFileBytes(folder + L"\\plain", "old"));
  ASSERT_TRUE(WriteFileBytes(folder + L"\\elsewhere", "other"));
  ASSERT_TRUE(CreateHardLinkW((folder + L"\\linked").c_str(), (folder + L"\\elsewhere").c_str(), nullptr));
  const struct {
    const wchar_t* name;
    bool opens;
    const char* bytesAfter;  // null: none to read
  } rows[] = {
      {L"plain", true, ""}, {L"linked", false, "other"}, {L"sub", false, nullptr}, {L"missing", false, nullptr}};
  for (const auto& row : rows) {
    const std::wstring path = folder + L"\\" + row.name;
    ScopedHandle file(OpenPlainFileToRewrite(path.c_str(), FILE_SHARE_READ));
    EXPECT_EQ(file.IsValid(), row.opens) << "row " << (&row - rows);
    file.Reset();
    std::string bytes;
    if (row.bytesAfter != nullptr) {
      EXPECT_TRUE(ReadFileBytes(path, bytes));
      EXPECT_EQ(bytes, row.bytesAfter);
    }
  }
  RemoveTree(folder);
}

}  // namespace
