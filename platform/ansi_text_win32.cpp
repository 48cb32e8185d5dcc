#include <windows.h>

#include <cstring>
#include <cwchar>

#include "platform/ansi_text.h"

namespace {

// UTF-8 holds every character: Windows then allows neither the best-fit flag nor the used-default
// answer, and only an unpaired surrogate can fail to convert.
int ConvertToUtf8(const wchar_t* text, int length, char* narrow, int capacity, bool* exact) {
  const int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, length, narrow, capacity, nullptr, nullptr);
  if (n > 0) return n;
  *exact = false;
  return WideCharToMultiByte(CP_UTF8, 0, text, length, narrow, capacity, nullptr, nullptr);
}

int ConvertToAnsi(const wchar_t* text, int length, char* narrow, int capacity, bool* exact) {
  if (GetACP() == CP_UTF8) return ConvertToUtf8(text, length, narrow, capacity, exact);
  BOOL usedDefault = FALSE;
  const int n =
      WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, length, narrow, capacity, nullptr, &usedDefault);
  if (usedDefault) *exact = false;
  return n;
}

}  // namespace

wchar_t* ToWide(const char* text) {
  if (text == nullptr) return nullptr;
  const int length = static_cast<int>(std::strlen(text));
  const int n = length == 0 ? 0 : MultiByteToWideChar(CP_ACP, 0, text, length, nullptr, 0);
  wchar_t* wide = new wchar_t[n + 1];
  if (n > 0) MultiByteToWideChar(CP_ACP, 0, text, length, wide, n);
  wide[n] = 0;
  return wide;
}

char* ToNarrow(const wchar_t* text, bool* exact) {
  bool unchanged = true;
  if (exact != nullptr) *exact = true;
  if (text == nullptr) return nullptr;
  const int length = static_cast<int>(std::wcslen(text));
  const int n = length == 0 ? 0 : ConvertToAnsi(text, length, nullptr, 0, &unchanged);
  char* narrow = new char[n + 1];
  if (n > 0) ConvertToAnsi(text, length, narrow, n, &unchanged);
  narrow[n] = 0;
  if (exact != nullptr) *exact = unchanged;
  return narrow;
}
