#include "tests/deploy/deploy_test_support.h"

std::string OwnResource(int id) {
  HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(id), "ZIP");
  if (found == nullptr) return "";
  const DWORD size = SizeofResource(nullptr, found);
  const char* bytes = static_cast<const char*>(LockResource(LoadResource(nullptr, found)));
  return bytes != nullptr ? std::string(bytes, size) : "";
}

void ScratchFolderTest::SetUp() {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  folder_ = std::wstring(temp) + L"deploy_" + Widen(test->test_suite_name()) + L"_" + Widen(test->name());
  ASSERT_TRUE(RemoveTree(folder_));
  ASSERT_TRUE(CreateFolders(folder_));
}

void ScratchFolderTest::TearDown() { RemoveTree(folder_); }
