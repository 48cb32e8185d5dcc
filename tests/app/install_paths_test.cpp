#include "app/install_paths.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(BuildInstallPath, JoinsAppDataSubfolderAndFile) {
  char path[kPathCapacity];
  ASSERT_TRUE(BuildInstallPath(path, kPathCapacity, "C:\\Users\\u\\AppData\\Roaming", "ToolFiePath.txt"));
  EXPECT_STREQ(path, "C:\\Users\\u\\AppData\\Roaming\\Quorvane\\Software\\ToolFiePath.txt");
  ASSERT_TRUE(BuildInstallPath(path, kPathCapacity, "C:\\A", nullptr));
  EXPECT_STREQ(path, "C:\\A\\Quorvane\\Software");
  wchar_t wide[kPathCapacity];
  ASSERT_TRUE(BuildInstallPathW(wide, "C:\\A", "SoftQuorvane.zip"));
  EXPECT_STREQ(wide, L"C:\\A\\Quorvane\\Software\\SoftQuorvane.zip");
}

// A path that would be cut at the buffer's end names another file: it is refused whole.
TEST(BuildInstallPath, RefusesWhatDoesNotFitInsteadOfCutting) {
  const std::string suffix = "\\Quorvane\\Software\\QuorvaneSoftware.exe";  // the longest fixed path
  const std::string fits(kPathCapacity - 1 - suffix.size(), 'a');
  const std::string tooLong = fits + "a";
  char path[kPathCapacity];
  wchar_t wide[kPathCapacity];
  EXPECT_TRUE(BuildInstallPath(path, kPathCapacity, fits.c_str(), "QuorvaneSoftware.exe"));
  EXPECT_EQ(std::strlen(path), static_cast<size_t>(kPathCapacity - 1));
  EXPECT_TRUE(BuildInstallPathW(wide, fits.c_str(), "QuorvaneSoftware.exe"));
  EXPECT_TRUE(InstallPathsFit(fits.c_str()));

  EXPECT_FALSE(BuildInstallPath(path, kPathCapacity, tooLong.c_str(), "QuorvaneSoftware.exe"));
  EXPECT_STREQ(path, "");
  EXPECT_FALSE(BuildInstallPathW(wide, tooLong.c_str(), "QuorvaneSoftware.exe"));
  EXPECT_STREQ(wide, L"");
  EXPECT_FALSE(InstallPathsFit(tooLong.c_str()));
  // The log path has its own, larger buffer.
  char logPath[kLogPathCapacity];
  EXPECT_TRUE(BuildInstallPath(logPath, kLogPathCapacity, tooLong.c_str(), "ReleaseToolLog.txt"));
}

TEST(BuildInstallPath, EmptyAppDataIsRefused) {
  char path[kPathCapacity];
  wchar_t wide[kPathCapacity];
  EXPECT_FALSE(BuildInstallPath(path, kPathCapacity, "", "ToolFiePath.txt"));
  EXPECT_FALSE(BuildInstallPathW(wide, "", "ToolFiePath.txt"));
  EXPECT_FALSE(InstallPathsFit(""));
}

}  // namespace
