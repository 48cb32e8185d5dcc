// GetArchiveEntry: one entry's name, attributes, times and sizes.
#include <algorithm>
#include <cstring>
#include <iterator>
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

// The bytes that name the entry: the stored name, or for a name not declared UTF-8 the directory's
// current Unicode Path field. The local header's copy of the field is not asked: the directory is
// the archive's authority, and a local copy that disagrees makes the entry unsound.
const unsigned char* ChooseName(const DirectoryRecord& record, const unsigned char* stored,
                                const unsigned char* centralExtra, std::uint32_t* length) {
  *length = record.nameLength;
  if ((record.flags & kFlagUtf8Name) != 0) return stored;
  std::uint32_t fieldLength = 0;
  const unsigned char* field = FindUnicodePathName(centralExtra, centralExtra != nullptr ? record.extraLength : 0,
                                                   stored, record.nameLength, &fieldLength);
  if (field == nullptr || fieldLength >= kNameBytes) return stored;
  *length = fieldLength;
  return field;
}

// The entry's name from the bytes chosen. NameTooLong for a stored name of 260 bytes or more (cut);
// NameNotUtf8 when the chosen name is no UTF-8, with the stored bytes shown escaped: converted, each
// bad byte would become U+FFFD and the file would be installed under a name nobody asked for.
ArchiveResult DescribeName(const DirectoryRecord& record, const char* storedName, const unsigned char* chosen,
                           std::uint32_t length, char16_t (&name)[kEntryNameCapacity]) {
  if (record.nameLength >= kNameBytes) {
    ConvertName(storedName, record.nameLength, name);
    return ArchiveResult::NameTooLong;
  }
  std::uint32_t end = 0;  // up to the first zero byte, as ConvertName reads it
  while (end < length && chosen[end] != 0) ++end;
  if (!IsWellFormedUtf8(chosen, end)) {
    EscapeStoredName(reinterpret_cast<const unsigned char*>(storedName), record.nameLength, name);
    return ArchiveResult::NameNotUtf8;
  }
  ConvertName(reinterpret_cast<const char*>(chosen), length, name);
  return ArchiveResult::Ok;
}

// Whether the local extra field carries a current Unicode Path field that names the entry otherwise
// than the directory does: a reader of local headers would install another file.
bool LocalFieldDisagrees(const unsigned char* localExtra, std::uint32_t localLength, const DirectoryRecord& record,
                         const unsigned char* stored, const unsigned char* chosen, std::uint32_t chosenLength) {
  if (record.nameLength >= kNameBytes) return false;  // refused for its length whatever it says
  std::uint32_t fieldLength = 0;
  const unsigned char* field = FindUnicodePathName(localExtra, localLength, stored, record.nameLength, &fieldLength);
  return field != nullptr && (fieldLength != chosenLength || std::memcmp(field, chosen, chosenLength) != 0);
}

// Reads the local extra field that the check of the local header located; ReadFailed if it cannot.
ArchiveResult ReadLocalExtra(DirectoryCursor* cursor, const LocalHeaderCheck& check,
                             std::unique_ptr<unsigned char[]>* extra) {
  if (check.extraLength == 0) return ArchiveResult::Ok;
  const std::uint64_t position = check.extraOffset + cursor->prefixLength;
  if (SourceSeek(&cursor->source, static_cast<std::int64_t>(position), SeekOrigin::Start) != StatusOk) {
    return ArchiveResult::ReadFailed;
  }
  extra->reset(new (std::nothrow) unsigned char[check.extraLength]);
  if (*extra == nullptr || SourceReadExact(&cursor->source, extra->get(), check.extraLength) != StatusOk) {
    return ArchiveResult::ReadFailed;
  }
  return ArchiveResult::Ok;
}

// Whether the current entry's local header leaves its sizes to a ZIP64 field, as some writers do
// for every entry (Python's zipfile with force_zip64) while the directory holds them.
bool LocalSizesDeferred(DirectoryCursor* cursor) {
  unsigned char local[kLocalHeaderSize];
  const std::uint64_t position = std::uint64_t{cursor->localHeaderOffset} + cursor->prefixLength;
  if (SourceSeek(&cursor->source, static_cast<std::int64_t>(position), SeekOrigin::Start) != StatusOk ||
      SourceReadExact(&cursor->source, local, kLocalHeaderSize) != StatusOk ||
      ReadLe32(local) != kLocalHeaderSignature) {
    return false;
  }
  return ReadLe32(local + 18) == kZip64Deferred32 || ReadLe32(local + 22) == kZip64Deferred32;
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
  const auto* stored = reinterpret_cast<const unsigned char*>(storedName);
  std::uint32_t chosenLength = 0;
  const unsigned char* chosen = ChooseName(record, stored, centralExtra.get(), &chosenLength);
  ArchiveEntryInfo described;
  described.index = static_cast<std::int32_t>(cursor->currentNumber);
  const ArchiveResult named = DescribeName(record, storedName, chosen, chosenLength, described.name);
  // Whatever fails from here on, the caller can still say which entry it was.
  std::copy(std::begin(described.name), std::end(described.name), info->name);
  LocalHeaderCheck check;
  if (CheckCurrentLocalHeader(cursor, &check) != StatusOk) return ArchiveResult::Corrupt;
  std::unique_ptr<unsigned char[]> extra;
  const ArchiveResult extraRead = ReadLocalExtra(cursor, check, &extra);
  if (extraRead != ArchiveResult::Ok) return extraRead;
  if (LocalFieldDisagrees(extra.get(), check.extraLength, record, stored, chosen, chosenLength)) {
    return ArchiveResult::Corrupt;
  }
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

namespace {

// The cursor on entry index's directory record, for an accessor that answers from it (out: whether
// the caller gave somewhere to put the answer). Ok, or the accessor's failure.
ArchiveResult WalkToRecord(ArchiveHandle handle, std::int32_t index, bool out) {
  const ArchiveResult check = CheckHandle(handle);
  if (check != ArchiveResult::Ok) return check;
  DirectoryCursor* cursor = handle->reader->cursor;
  if (!out || index < 0 || index >= static_cast<std::int64_t>(cursor->entryCount)) return ArchiveResult::BadArgument;
  CloseOpenEntry(handle->reader);
  if (WalkToEntry(cursor, static_cast<std::uint32_t>(index)) != StatusOk) return ArchiveResult::Corrupt;
  return ArchiveResult::Ok;
}

}  // namespace

ArchiveResult GetArchiveEntryFormat(ArchiveHandle handle, std::int32_t index, ArchiveEntryFormat* format) {
  const ArchiveResult walked = WalkToRecord(handle, index, format != nullptr);
  if (walked != ArchiveResult::Ok) return Finish(walked);
  DirectoryCursor* cursor = handle->reader->cursor;
  const DirectoryRecord& record = cursor->record;
  format->method = record.method;
  format->flags = record.flags;
  format->zip64 = record.compressedSize == kZip64Deferred32 || record.uncompressedSize == kZip64Deferred32 ||
                  cursor->localHeaderOffset == kZip64Deferred32 || LocalSizesDeferred(cursor);
  return Finish(ArchiveResult::Ok);
}

ArchiveResult GetArchiveEntryCrc(ArchiveHandle handle, std::int32_t index, std::uint32_t* crc) {
  const ArchiveResult walked = WalkToRecord(handle, index, crc != nullptr);
  if (walked != ArchiveResult::Ok) return Finish(walked);
  *crc = handle->reader->cursor->record.crc;
  return Finish(ArchiveResult::Ok);
}

ArchiveResult GetArchiveEntryStoredName(ArchiveHandle handle, std::int32_t index,
                                        char16_t (&name)[kEntryNameCapacity]) {
  name[0] = 0;
  const ArchiveResult check = CheckHandle(handle);
  if (check != ArchiveResult::Ok) return Finish(check);
  DirectoryCursor* cursor = handle->reader->cursor;
  if (index < 0 || index >= static_cast<std::int64_t>(cursor->entryCount)) return Finish(ArchiveResult::BadArgument);
  CloseOpenEntry(handle->reader);
  char storedName[kNameBytes];
  if (WalkToEntry(cursor, static_cast<std::uint32_t>(index)) != StatusOk ||
      ReadCurrentName(cursor, storedName, kNameBytes) != StatusOk) {
    return Finish(ArchiveResult::Corrupt);
  }
  const DirectoryRecord& record = cursor->record;
  if (record.nameLength >= kNameBytes) return Finish(ArchiveResult::NameTooLong);
  std::unique_ptr<unsigned char[]> centralExtra;
  if ((record.flags & kFlagUtf8Name) == 0 && record.extraLength > 0) {
    centralExtra.reset(new (std::nothrow) unsigned char[record.extraLength]);
    if (centralExtra == nullptr || ReadCurrentExtra(cursor, centralExtra.get()) != StatusOk) {
      return Finish(ArchiveResult::ReadFailed);
    }
  }
  std::uint32_t length = 0;
  const unsigned char* chosen =
      ChooseName(record, reinterpret_cast<const unsigned char*>(storedName), centralExtra.get(), &length);
  std::uint32_t end = 0;  // up to the first zero byte, as the described name is read
  while (end < length && chosen[end] != 0) ++end;
  if (!IsWellFormedUtf8(chosen, end)) return Finish(ArchiveResult::NameNotUtf8);
  const int units = end == 0 ? 0
                             : Utf8ToUtf16(reinterpret_cast<const char*>(chosen), static_cast<int>(end), name,
                                           kEntryNameCapacity - 1);
  name[units > 0 ? units : 0] = 0;
  return Finish(ArchiveResult::Ok);
}
