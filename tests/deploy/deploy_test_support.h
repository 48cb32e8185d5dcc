// What the payload writer's tests share: a scratch folder per test and the test executable's own
// "ZIP" resources.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/win_test_support.h"

// Ids of the resources that test_payload.rc embeds; kAbsentId is never embedded.
inline constexpr int kDriversId = 138;
inline constexpr int kClientId = 144;
inline constexpr int kOtherId = 201;
inline constexpr int kAbsentId = 137;

// The bytes of this executable's resource of type "ZIP"; empty when it has none.
std::string OwnResource(int id);

// A fresh folder per test below the temporary folder, removed afterwards.
class ScratchFolderTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::wstring Path(const std::wstring& relative) const { return folder_ + L"\\" + relative; }
  std::string NarrowPath(const std::wstring& relative) const { return Narrow(Path(relative)); }

  std::wstring folder_;
};
