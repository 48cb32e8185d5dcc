// UTF-8 <-> UTF-16 as Windows' CP_UTF8 conversions behave: a malformed sequence becomes one U+FFFD
// for the bytes taken so far (a lead byte and the continuation bytes that still fit), judged after
// each continuation byte, so an overlong form, a surrogate or a value beyond U+10FFFF is rejected
// as soon as its first continuation byte shows it.
#include <cstdint>

#include "platform/text_encoding.h"
#include "platform/upcase_table.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Continuation bytes that a lead byte announces; -1 for a byte that cannot start a sequence.
int ContinuationCount(unsigned char lead) {
  if (lead < 0x80) return 0;
  if (lead >= 0xC2 && lead <= 0xDF) return 1;
  if (lead >= 0xE0 && lead <= 0xEF) return 2;
  if (lead >= 0xF0 && lead <= 0xF4) return 3;
  return -1;
}

// The top bits known after the first continuation byte must already rule out overlong forms,
// surrogates and values above U+10FFFF.
bool FirstStepIsValid(int continuations, std::uint32_t partial) {
  if (continuations == 2) return partial >= (0x800 >> 6) && !(partial >= (0xD800 >> 6) && partial <= (0xDFFF >> 6));
  if (continuations == 3) return partial >= (0x10000 >> 12) && partial < (0x110000 >> 12);
  return true;
}

// Decodes one code point at text[*position] (position < length) and moves past it.
char32_t DecodeOne(const unsigned char* text, int length, int* position) {
  const unsigned char lead = text[(*position)++];
  const int continuations = ContinuationCount(lead);
  if (continuations <= 0) return continuations == 0 ? lead : kReplacement;
  std::uint32_t value = lead & (0x7Fu >> (continuations + 1));
  for (int step = 0; step < continuations; ++step) {
    if (*position >= length || !IsContinuation(text[*position])) return kReplacement;
    value = (value << 6) | (text[(*position)++] & 0x3Fu);
    if (step == 0 && !FirstStepIsValid(continuations, value)) return kReplacement;
  }
  return value;
}

int Utf16Units(char32_t c) { return c >= 0x10000 ? 2 : 1; }

int Utf8Bytes(char32_t c) { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

template <typename Char>
int TextLength(const Char* text) {
  int length = 0;
  while (text[length] != 0) ++length;
  return length + 1;  // the terminator is converted too
}

}  // namespace

int Utf8ToUtf16(const char* text, int length, char16_t* output, int capacity) {
  if (text == nullptr || capacity < 0 || (capacity > 0 && output == nullptr)) return 0;
  if (length < 0) length = TextLength(text);
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  int position = 0;
  int written = 0;
  while (position < length) {
    const char32_t c = DecodeOne(bytes, length, &position);
    const int units = Utf16Units(c);
    if (capacity > 0) {
      if (written + units > capacity) return 0;
      if (units == 2) {
        output[written] = static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
        output[written + 1] = static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
      } else {
        output[written] = static_cast<char16_t>(c);
      }
    }
    written += units;
  }
  return written;
}

int Utf16ToUtf8(const char16_t* text, int length, char* output, int capacity) {
  if (text == nullptr || capacity < 0 || (capacity > 0 && output == nullptr)) return 0;
  if (length < 0) length = TextLength(text);
  int written = 0;
  for (int position = 0; position < length;) {
    char32_t c = text[position++];
    if (c >= 0xD800 && c <= 0xDBFF && position < length && text[position] >= 0xDC00 && text[position] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[position++] - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = kReplacement;
    }
    const int bytes = Utf8Bytes(c);
    if (capacity > 0) {
      if (written + bytes > capacity) return 0;
      char* out = output + written;
      if (bytes == 1) {
        out[0] = static_cast<char>(c);
      } else {
        const unsigned char leadMarks[] = {0, 0, 0xC0, 0xE0, 0xF0};
        for (int i = bytes - 1; i > 0; --i, c >>= 6) out[i] = static_cast<char>(0x80 | (c & 0x3F));
        out[0] = static_cast<char>(leadMarks[bytes] | c);
      }
    }
    written += bytes;
  }
  return written;
}

void UpcaseAsFileNames(char16_t* text, int length) {
  for (int i = 0; i < length; ++i) text[i] = UpcaseFileNameUnit(text[i]);
}
