#include "platform/ansi_text.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(StringConversion, RoundTripsTheAnsiCodePage) {
  // Every byte the code page maps to a character comes back unchanged.
  std::string all;
  for (int c = 1; c < 256; ++c) {
    char single[2] = {static_cast<char>(c), 0};
    const wchar_t* wide = ToWide(single);
    if (wide[0] != 0 && wide[1] == 0 && std::string(ToNarrow(wide)) == single) all.push_back(static_cast<char>(c));
  }
  ASSERT_GE(all.size(), 127u);  // at least ASCII
  EXPECT_EQ(std::string(ToNarrow(ToWide(all.c_str()))), all);
}

TEST(StringConversion, NonAsciiTextMatchesItsUnicodeCharacters) {
  if (GetACP() != 1252) GTEST_SKIP() << "code page " << GetACP() << " is not Windows-1252";
  const char narrow[] = "Caf\xE9 \xDC\x62\x65r \x80";  // "Café Über €" in Windows-1252
  const wchar_t* wide = ToWide(narrow);
  EXPECT_EQ(std::wstring(wide), L"Caf\u00E9 \u00DCber \u20AC");
  EXPECT_STREQ(ToNarrow(wide), narrow);
}

// "Łukasz" best-fitted would be "Lukasz": another user's profile, another file.
TEST(StringConversion, WhatTheCodePageCannotHoldBecomesItsDefaultCharacterNeverALookAlike) {
  if (GetACP() != 1252) GTEST_SKIP() << "code page " << GetACP() << " is not Windows-1252";
  const struct {
    const wchar_t* wide;
    const char* narrow;
    bool exact;
  } cases[] = {
      {L"C:\\Users\\\u0141ukasz", "C:\\Users\\?ukasz", false},
      {L"\u0414\u043c\u0438\u0442\u0440\u0438\u0439", "???????", false},
      {L"Caf\u00E9", "Caf\xE9", true},
      {L"", "", true},
  };
  for (const auto& c : cases) {
    bool exact = !c.exact;
    EXPECT_STREQ(ToNarrow(c.wide, &exact), c.narrow);
    EXPECT_EQ(exact, c.exact) << c.narrow;
  }
}

TEST(StringConversion, EmptyAndNull) {
  EXPECT_STREQ(ToWide(""), L"");
  EXPECT_STREQ(ToNarrow(L""), "");
  EXPECT_EQ(ToWide(nullptr), nullptr);
  EXPECT_EQ(ToNarrow(nullptr), nullptr);
}

TEST(StringConversion, LongTextIsConvertedWhole) {
  std::string longText(5000, 'a');
  longText += "\xE9";
  const wchar_t* wide = ToWide(longText.c_str());
  EXPECT_EQ(std::wcslen(wide), 5001u);
  EXPECT_EQ(std::string(ToNarrow(wide)), longText);
}

}  // namespace
