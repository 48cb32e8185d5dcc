// GetArchiveEntry: one entry's name, attributes, times and sizes.
#include <memory>
#include <new>

#include "archive/archive_state.h"
#include "archive/entry_description.h"
#include "platform/text_encoding.h"

namespace {

constexpr std::uint32_t kNameBytes = kEntryNameCapacity;  // bytes of a stored name that are read

bool IsContinuation(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

// A cut name must not end inside a UTF-8 sequence: the character that the cut splits is dropped
// whole (a valid one has at most three continuation bytes).
std::uint32_t CutAtCharacter(const char* name, std::uint32_t cut) {
  std::uint32_t at = cut;
  for (int steps = 0; steps < 3 && at > 0 && IsContinuation(name[at]); ++steps) --at;
  return IsContinuation(name[at]) ? cut : at;
}

// The stored name (nameLength bytes, read up to kNameBytes) as a sanitised UTF-16 name.
// Up to its first zero byte, as a zero-terminated name would be read.
void ConvertName(const char* stored, std::uint32_t nameLength, char16_t (&name)[kEntryNameCapacity]) {
  std::uint32_t bytes = nameLength;
  if (nameLength >= kNameBytes) bytes = CutAtCharacter(stored, kNameBytes - 1);
  for (std::uint32_t i = 0; i < bytes; ++i) {
    if (stored[i] == 0) bytes = i;
  }
  // UTF-16 never needs more units than UTF-8 has bytes, so 259 bytes always fit.
  char16_t wide[kEntryNameCapacity];
  const int units = bytes == 0 ? 0 : Utf8ToUtf16(stored, static_cast<int>(bytes), wide, kEntryNameCapacity - 1);
  wide[units > 0 ? units : 0] = 0;
  const char16_t* sanitised = SanitiseEntryName(wide);
  int i = 0;
  for (; sanitised[i] != 0; ++i) name[i] = sanitised[i];
  name[i] = 0;
}

struct ExtraFields {
  const unsigned char* central = nullptr;
  std::uint32_t centralLength = 0;
  const unsigned char* local = nullptr;
  std::uint32_t localLength = 0;
};

// The entry's name: the stored one, or for a name not declared UTF-8 the Unicode Path field's
// (the directory's first, then the local header's). NameTooLong for a stored name of 260 bytes or
// more (cut); NameNotUtf8 when the chosen name is no UTF-8, with the stored bytes shown escaped:
// converted, each bad byte would become U+FFFD and the file would be installed under a name
// nobody asked for.
ArchiveResult DescribeName(const DirectoryRecord& record, const char* storedName, const ExtraFields& extras,
                           char16_t (&name)[kEntryNameCapacity]) {
  if (record.nameLength >= kNameBytes) {
    ConvertName(storedName, record.nameLength, name);
    return ArchiveResult::NameTooLong;
  }
  const auto* stored = reinterpret_cast<const unsigned char*>(storedName);
  const unsigned char* chosen = stored;
  std::uint32_t length = record.nameLength;
  if ((record.flags & kFlagUtf8Name) == 0) {
    std::uint32_t fieldLength = 0;
    const unsigned char* field =
        FindUnicodePathName(extras.central, extras.centralLength, stored, record.nameLength, &fieldLength);
    if (field == nullptr) {
      field = FindUnicodePathName(extras.local, extras.localLength, stored, record.nameLength, &fieldLength);
    }
    if (field != nullptr && fieldLength < kNameBytes) {
      chosen = field;
      length = fieldLength;
    }
  }
  std::uint32_t end = 0;  // up to the first zero byte, as ConvertName reads it
  while (end < length && chosen[end] != 0) ++end;
  if (!IsWellFormedUtf8(chosen, end)) {
    EscapeStoredName(stored, record.nameLength, name);
    return ArchiveResult::NameNotUtf8;
  }
  ConvertName(reinterpret_cast<const char*>(chosen), length, name);
  return ArchiveResult::Ok;
}

}  // namespace

ArchiveResult DescribeEntry(ArchiveReader* reader, std::int32_t index, ArchiveEntryInfo* info) {
  DirectoryCursor* cursor = reader->cursor;
  if (WalkToEntry(cursor, static_cast<std::uint32_t>(index)) != StatusOk) return ArchiveResult::Corrupt;
  char storedName[kNameBytes];
  if (ReadCurrentName(cursor, storedName, kNameBytes) != StatusOk) return ArchiveResult::Corrupt;
  const DirectoryRecord& record = cursor->record;
  // A name that is not UTF-8 by declaration may have its UTF-8 form in the directory's extra field.
  std::unique_ptr<unsigned char[]> centralExtra;
  if ((record.flags & kFlagUtf8Name) == 0 && record.extraLength > 0 && record.nameLength < kNameBytes) {
    centralExtra.reset(new (std::nothrow) unsigned char[record.extraLength]);
    if (centralExtra == nullptr || ReadCurrentExtra(cursor, centralExtra.get()) != StatusOk) {
      return ArchiveResult::ReadFailed;
    }
  }
  LocalHeaderCheck check;
  if (CheckCurrentLocalHeader(cursor, &check) != StatusOk) return ArchiveResult::Corrupt;
  std::unique_ptr<unsigned char[]> extra;
  if (check.extraLength > 0) {
    const std::uint64_t position = check.extraOffset + cursor->prefixLength;
    if (SourceSeek(&cursor->source, static_cast<std::int64_t>(position), SeekOrigin::Start) != StatusOk) {
      return ArchiveResult::ReadFailed;
    }
    extra.reset(new (std::nothrow) unsigned char[check.extraLength]);
    if (extra == nullptr || SourceReadExact(&cursor->source, extra.get(), check.extraLength) != StatusOk) {
      return ArchiveResult::ReadFailed;
    }
  }
  ArchiveEntryInfo described;
  described.index = static_cast<std::int32_t>(cursor->currentNumber);
  const ExtraFields extras{centralExtra.get(), centralExtra != nullptr ? record.extraLength : 0, extra.get(),
                           check.extraLength};
  const ArchiveResult named = DescribeName(record, storedName, extras, described.name);
  described.attributes = DeriveAttributes(record.versionMadeBy, record.externalAttributes);
  described.compressedSize = static_cast<std::int32_t>(record.compressedSize);
  described.uncompressedSize = static_cast<std::int32_t>(record.uncompressedSize);
  FileTime utc;
  const FileTime local = DosDateTimeToFileTime(record.dosDateTime >> 16, record.dosDateTime & 0xFFFF);
  if (FileTimeValue(local) == 0 || !LocalFileTimeToUtc(local, &utc)) utc = FileTime{};
  described.accessTime = described.creationTime = described.writeTime = utc;
  ApplyExtendedTimestamp(extra.get(), check.extraLength, &described);
  *info = described;
  if (named != ArchiveResult::Ok) return named;
  reader->cachedInfo = described;
  reader->cachedIndex = index;
  return ArchiveResult::Ok;
}

ArchiveResult GetArchiveEntry(ArchiveHandle handle, std::int32_t index, ArchiveEntryInfo* info) {
  if (info != nullptr) {
    info->index = 0;
    info->name[0] = 0;
    info->uncompressedSize = 0;
  }
  const ArchiveResult check = CheckHandle(handle);
  if (check != ArchiveResult::Ok) return Finish(check);
  ArchiveReader* reader = handle->reader;
  if (info == nullptr || index < -1 || index >= static_cast<std::int64_t>(reader->cursor->entryCount)) {
    return Finish(ArchiveResult::BadArgument);
  }
  CloseOpenEntry(reader);
  if (index == -1) {
    *info = ArchiveEntryInfo{};
    info->index = static_cast<std::int32_t>(reader->cursor->entryCount);
    return Finish(ArchiveResult::Ok);
  }
  if (index == reader->cachedIndex) {
    *info = reader->cachedInfo;
    return Finish(ArchiveResult::Ok);
  }
  return Finish(DescribeEntry(reader, index, info));
}
