#include "archive/entry_description.h"

#include <zlib.h>

#include <string>

#include "archive/zip_format.h"

namespace {

// The first "<sep>..<sep>" with the given separators, or null.
const char16_t* FindParentStep(const char16_t* text, char16_t before, char16_t after) {
  for (const char16_t* p = text; p[0] != 0; ++p) {
    if (p[0] == before && p[1] == u'.' && p[2] == u'.' && p[3] == after) return p;
  }
  return nullptr;
}

char16_t ToUpperAscii(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }

// Windows opens a device, not a file, for these names in any case, whatever the folder or
// extension ("nul.txt", "dir/Com1.log"); COM and LPT take the digits 0 to 9 and the superscript
// digits one, two and three (U+00B9, U+00B2, U+00B3), which Windows maps to the same ports.
bool IsDeviceName(const char16_t* begin, const char16_t* end) {
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  static const char* const kNumbered[] = {"COM", "LPT"};
  static const char16_t kDigits[] = u"0123456789\u00B9\u00B2\u00B3";
  const char16_t* stem = begin;
  while (stem < end && *stem != u'.') ++stem;
  while (stem > begin && stem[-1] == u' ') --stem;
  // Where the rest of the stem begins after text, or null when the stem does not start with it.
  const auto startsWith = [begin, stem](const char* text) -> const char16_t* {
    const char16_t* c = begin;
    for (; *text != 0; ++text, ++c) {
      if (c == stem || ToUpperAscii(*c) != static_cast<char16_t>(*text)) return nullptr;
    }
    return c;
  };
  for (const char* device : kDevices) {
    if (startsWith(device) == stem) return true;
  }
  for (const char* prefix : kNumbered) {
    const char16_t* digit = startsWith(prefix);
    if (digit == nullptr || stem - digit != 1) continue;
    for (const char16_t* d = kDigits; *d != 0; ++d) {
      if (*digit == *d) return true;
    }
  }
  return false;
}

}  // namespace

const char16_t* SanitiseEntryName(const char16_t* name) {
  static const char16_t kSteps[4][2] = {{u'\\', u'\\'}, {u'\\', u'/'}, {u'/', u'/'}, {u'/', u'\\'}};
  const char16_t* start = name;
  for (;;) {
    if (start[0] != 0 && start[1] == u':') {
      start += 2;
      continue;
    }
    if (IsPathSeparator(start[0])) {
      start += 1;
      continue;
    }
    const char16_t* step = nullptr;
    for (const auto& separators : kSteps) {
      step = FindParentStep(start, separators[0], separators[1]);
      if (step != nullptr) break;
    }
    if (step == nullptr) return start;
    start = step + 4;
  }
}

std::uint32_t DeriveAttributes(std::uint32_t versionMadeBy, std::uint32_t externalAttributes) {
  bool directory = (externalAttributes & 0x40000000) != 0;
  bool readOnly = (externalAttributes & 0x00800000) == 0;
  bool hidden = false;
  bool system = false;
  bool archive = true;
  const std::uint32_t host = versionMadeBy >> 8;
  if (host == 0 || host == 7 || host == 11 || host == 14) {
    readOnly = (externalAttributes & 0x01) != 0;
    hidden = (externalAttributes & 0x02) != 0;
    system = (externalAttributes & 0x04) != 0;
    directory = (externalAttributes & 0x10) != 0;
    archive = (externalAttributes & 0x20) != 0;
  }
  return (directory ? kAttributeDirectory : 0) | (archive ? kAttributeArchive : 0) | (hidden ? kAttributeHidden : 0) |
         (readOnly ? kAttributeReadOnly : 0) | (system ? kAttributeSystem : 0);
}

FileTime DosDateTimeToFileTime(std::uint32_t date, std::uint32_t time) {
  CalendarTime calendar;
  calendar.year = static_cast<std::uint16_t>(((date >> 9) & 0x7F) + 1980);
  calendar.month = static_cast<std::uint16_t>((date >> 5) & 0x0F);
  calendar.day = static_cast<std::uint16_t>(date & 0x1F);
  calendar.hour = static_cast<std::uint16_t>((time >> 11) & 0x1F);
  calendar.minute = static_cast<std::uint16_t>((time >> 5) & 0x3F);
  calendar.second = static_cast<std::uint16_t>((time & 0x1F) * 2);
  FileTime result;
  if (!CalendarTimeToFileTime(calendar, &result)) return FileTime{};
  return result;
}

FileTime UnixTimeToFileTime(std::int32_t seconds) {
  const std::int64_t ticks = std::int64_t{seconds} * 10000000 + 116444736000000000;
  return MakeFileTime(static_cast<std::uint64_t>(ticks));
}

void ApplyExtendedTimestamp(const unsigned char* extra, std::uint32_t length, ArchiveEntryInfo* info) {
  constexpr std::uint32_t kExtendedTimestampTag = 0x5455;  // "UT"
  std::uint32_t position = 0;
  while (position + 4 < length) {
    const std::uint32_t tag = ReadLe16(extra + position);
    const std::uint32_t size = ReadLe16(extra + position + 2);
    if (tag != kExtendedTimestampTag) {
      position += 4 + size;
      continue;
    }
    const std::uint32_t dataEnd = position + 4 + size < length ? position + 4 + size : length;
    if (size == 0) return;
    const unsigned flags = extra[position + 4];
    std::uint32_t at = position + 5;
    FileTime* const targets[3] = {&info->writeTime, &info->accessTime, &info->creationTime};
    for (int bit = 0; bit < 3; ++bit) {
      if ((flags & (1u << bit)) == 0) continue;
      if (at + 4 > dataEnd) return;
      *targets[bit] = UnixTimeToFileTime(static_cast<std::int32_t>(ReadLe32(extra + at)));
      at += 4;
    }
    return;
  }
}

bool IsWellFormedUtf8(const unsigned char* text, std::uint32_t length) {
  for (std::uint32_t i = 0; i < length;) {
    const unsigned lead = text[i];
    std::uint32_t follow = 0;
    unsigned low = 0x80, high = 0xBF;  // the allowed range of the first continuation byte
    if (lead < 0x80) {
      follow = 0;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      follow = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      follow = 2;
      if (lead == 0xE0) low = 0xA0;   // overlong
      if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      follow = 3;
      if (lead == 0xF0) low = 0x90;   // overlong
      if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF
    } else {
      return false;
    }
    if (length - i - 1 < follow) return false;
    for (std::uint32_t k = 1; k <= follow; ++k) {
      const unsigned byte = text[i + k];
      if (byte < (k == 1 ? low : 0x80) || byte > (k == 1 ? high : 0xBF)) return false;
    }
    i += 1 + follow;
  }
  return true;
}

const unsigned char* FindUnicodePathName(const unsigned char* extra, std::uint32_t length,
                                         const unsigned char* storedName, std::uint32_t storedLength,
                                         std::uint32_t* nameLength) {
  for (std::uint32_t position = 0; extra != nullptr && length - position >= 4;) {
    const std::uint32_t tag = ReadLe16(extra + position);
    const std::uint32_t size = ReadLe16(extra + position + 2);
    const std::uint32_t data = position + 4;
    if (size > length - data) return nullptr;  // a field that runs beyond the extra data is no field
    if (tag == kUnicodePathTag) {
      if (size < kUnicodePathHeaderSize || extra[data] != kUnicodePathVersion) return nullptr;
      const uLong crc = crc32(crc32(0L, Z_NULL, 0), storedName, static_cast<uInt>(storedLength));
      if (ReadLe32(extra + data + 1) != crc) return nullptr;
      *nameLength = size - kUnicodePathHeaderSize;
      return extra + data + kUnicodePathHeaderSize;
    }
    position = data + size;
  }
  return nullptr;
}

void EscapeStoredName(const unsigned char* storedName, std::uint32_t length, char16_t (&name)[kEntryNameCapacity]) {
  static const char kHex[] = "0123456789ABCDEF";
  std::uint32_t out = 0;
  for (std::uint32_t i = 0; i < length; ++i) {
    const unsigned byte = storedName[i];
    const bool plain = byte >= 0x20 && byte < 0x7F && byte != '\\';
    if (out + (plain ? 1 : 4) >= kEntryNameCapacity) break;
    if (plain) {
      name[out++] = static_cast<char16_t>(byte);
      continue;
    }
    name[out++] = u'\\';
    name[out++] = u'x';
    name[out++] = static_cast<char16_t>(kHex[byte >> 4]);
    name[out++] = static_cast<char16_t>(kHex[byte & 15]);
  }
  name[out] = 0;
}

bool EntryNameIsSafe(const char16_t* name) {
  if (name == nullptr || name[0] == 0 || IsPathSeparator(name[0])) return false;
  const char16_t* component = name;
  for (const char16_t* p = name;; ++p) {
    if (*p == u':') return false;
    if (*p != 0 && !IsPathSeparator(*p)) continue;
    // One component: [component, p). Windows drops a component's trailing dots and spaces, so
    // "a." is "a", "x.qvtmp." is x's temporary file and ".." climbs; refused on every host, so
    // that an archive installs the same files wherever it is tried.
    if (p > component && (p[-1] == u'.' || p[-1] == u' ')) return false;
    if (IsDeviceName(component, p)) return false;
    if (*p == 0) return true;
    component = p + 1;
  }
}

bool EntryIsFolder(const ArchiveEntryInfo& info) {
  const std::size_t length = std::char_traits<char16_t>::length(info.name);
  if (length > 0 && IsPathSeparator(info.name[length - 1])) return true;
  return (info.attributes & kAttributeDirectory) != 0 && info.compressedSize == 0 && info.uncompressedSize == 0;
}
