#include <windows.h>

#include <string>

#include "platform/text_encoding.h"

int Utf8ToUtf16(const char* text, int length, char16_t* output, int capacity) {
  return MultiByteToWideChar(CP_UTF8, 0, text, length, reinterpret_cast<wchar_t*>(output), capacity);
}

int Utf16ToUtf8(const char16_t* text, int length, char* output, int capacity) {
  return WideCharToMultiByte(CP_UTF8, 0, reinterpret_cast<const wchar_t*>(text), length, output, capacity, nullptr,
                             nullptr);
}

void UpcaseAsFileNames(char16_t* text, int length) {
  // Without LCMAP_LINGUISTIC_CASING, LCMapStringEx upper-cases by the file system's rules. Source
  // and result apart: the same buffer for both is not documented for every mapping.
  if (length <= 0) return;
  const std::u16string source(text, static_cast<std::size_t>(length));
  LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, reinterpret_cast<const wchar_t*>(source.data()), length,
                reinterpret_cast<wchar_t*>(text), length, nullptr, nullptr, 0);
}
