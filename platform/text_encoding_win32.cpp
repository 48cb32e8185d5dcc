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

namespace {

bool IsSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDFFF; }

}  // namespace

void UpcaseAsFileNames(char16_t* text, int length) {
  // Without LCMAP_LINGUISTIC_CASING, LCMapStringEx upper-cases by the file system's rules. Source
  // and result apart: the same buffer for both is not documented for every mapping. The file
  // system's table (NTFS $UpCase) has one entry per UTF-16 unit, so a letter beyond U+FFFF keeps
  // its case there, though LCMapStringEx maps it (Wine 8 does: U+10428 to U+10400): surrogates are
  // left out of the mapping, and every build compares names unit by unit.
  if (length <= 0) return;
  const std::u16string source(text, static_cast<std::size_t>(length));
  for (int start = 0; start < length;) {
    int end = start;
    while (end < length && !IsSurrogate(source[end])) ++end;
    if (end > start) {
      LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, reinterpret_cast<const wchar_t*>(source.data() + start),
                    end - start, reinterpret_cast<wchar_t*>(text + start), end - start, nullptr, nullptr, 0);
    }
    start = end < length ? end + 1 : end;  // the surrogate stays as it is
  }
}
