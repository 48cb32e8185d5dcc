#include "app/string_conversion.h"

#include <windows.h>

#include <cstring>
#include <cwchar>

wchar_t* ToWide(const char* text) {
  if (text == nullptr) return nullptr;
  const int length = static_cast<int>(std::strlen(text));
  const int n = length == 0 ? 0 : MultiByteToWideChar(CP_ACP, 0, text, length, nullptr, 0);
  wchar_t* wide = new wchar_t[n + 1];
  if (n > 0) MultiByteToWideChar(CP_ACP, 0, text, length, wide, n);
  wide[n] = 0;
  return wide;
}

char* ToNarrow(const wchar_t* text) {
  if (text == nullptr) return nullptr;
  const int length = static_cast<int>(std::wcslen(text));
  const int n = length == 0 ? 0 : WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0, nullptr, nullptr);
  char* narrow = new char[n + 1];
  if (n > 0) WideCharToMultiByte(CP_ACP, 0, text, length, narrow, n, nullptr, nullptr);
  narrow[n] = 0;
  return narrow;
}
