#include "app/install_paths.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>

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

}  // namespace
