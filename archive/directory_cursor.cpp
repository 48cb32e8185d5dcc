#include "archive/directory_cursor.h"

#include <new>

#include "archive/directory_survey.h"

namespace {

constexpr std::uint32_t kWindowStep = 1024;
constexpr std::uint32_t kWindowSize = kWindowStep + 4;  // windows overlap by a signature's length

bool HasSignatureAt(const unsigned char* bytes, std::uint32_t signature) { return ReadLe32(bytes) == signature; }

}  // namespace

bool FindEndRecord(ByteSource* source, std::uint64_t* position) {
  if (SourceSeek(source, 0, SeekOrigin::End) != StatusOk) return false;
  const std::uint64_t size = SourceTell(source);
  const std::uint64_t span = size < kEndRecordSearchSpan ? size : kEndRecordSearchSpan;
  unsigned char window[kWindowSize];
  for (std::uint64_t distance = 4; distance < span;) {
    distance = distance + kWindowStep < span ? distance + kWindowStep : span;
    const std::uint64_t start = size - distance;
    const std::uint32_t length = static_cast<std::uint32_t>(distance < kWindowSize ? distance : kWindowSize);
    if (SourceSeek(source, static_cast<std::int64_t>(start), SeekOrigin::Start) != StatusOk) return false;
    if (SourceReadExact(source, window, length) != StatusOk) return false;
    // Nearest the end first; a signature with no room for a whole record behind it is no record.
    for (std::uint32_t i = length - 4 + 1; i-- > 0;) {
      if (HasSignatureAt(window + i, kEndRecordSignature) && start + i + kEndRecordSize <= size) {
        *position = start + i;
        return true;
      }
    }
  }
  return false;
}

namespace {

// Info-ZIP writes a ZIP64 end record and its locator for data it read from a pipe, even when the
// 32-bit fields of the end record still hold; the directory then ends where they begin.
std::uint64_t Zip64TrailerLength(ByteSource* source, std::uint64_t endRecordPos) {
  constexpr std::uint32_t kTrailer = kZip64EndRecordSize + kZip64LocatorSize;
  unsigned char trailer[kTrailer];
  if (endRecordPos < kTrailer ||
      SourceSeek(source, static_cast<std::int64_t>(endRecordPos - kTrailer), SeekOrigin::Start) != StatusOk ||
      SourceReadExact(source, trailer, kTrailer) != StatusOk) {
    return 0;
  }
  const bool present = HasSignatureAt(trailer, kZip64EndRecordSignature) &&
                       HasSignatureAt(trailer + kZip64EndRecordSize, kZip64LocatorSignature);
  return present ? kTrailer : 0;
}

}  // namespace

bool EndRecordDefersToZip64(ByteSource* source, std::uint64_t position) {
  unsigned char bytes[kZip64LocatorSize + kEndRecordSize];
  if (position < kZip64LocatorSize ||
      SourceSeek(source, static_cast<std::int64_t>(position - kZip64LocatorSize), SeekOrigin::Start) != StatusOk ||
      SourceReadExact(source, bytes, sizeof bytes) != StatusOk || !HasSignatureAt(bytes, kZip64LocatorSignature)) {
    return false;
  }
  const unsigned char* end = bytes + kZip64LocatorSize;
  for (std::uint32_t at = 4; at < 12; at += 2) {  // disk numbers and counts
    if (ReadLe16(end + at) == kZip64Deferred16) return true;
  }
  return ReadLe32(end + 12) == kZip64Deferred32 || ReadLe32(end + 16) == kZip64Deferred32;
}

DirectoryCursor* OpenDirectory(ByteSource* source) {
  std::uint64_t endRecordPos = 0;
  unsigned char end[kEndRecordSize];
  std::int32_t status = StatusIoError;
  if (FindEndRecord(source, &endRecordPos) &&
      SourceSeek(source, static_cast<std::int64_t>(endRecordPos), SeekOrigin::Start) == StatusOk) {
    status = SourceReadExact(source, end, kEndRecordSize);
  }
  std::uint32_t entriesOnDisk = 0, directorySize = 0, directoryOffset = 0, commentLength = 0;
  if (status == StatusOk) {
    const std::uint32_t diskNumber = ReadLe16(end + 4);
    const std::uint32_t directoryDisk = ReadLe16(end + 6);
    entriesOnDisk = ReadLe16(end + 8);
    const std::uint32_t totalEntries = ReadLe16(end + 10);
    directorySize = ReadLe32(end + 12);
    directoryOffset = ReadLe32(end + 16);
    commentLength = ReadLe16(end + 20);
    if (totalEntries != entriesOnDisk || diskNumber != 0 || directoryDisk != 0) status = StatusBadArchive;
  }
  // The directory must end where the end record (or a ZIP64 trailer) begins, or further in: what
  // lies in front of the archive is the prefix. 64-bit sums, so a huge offset cannot wrap past the
  // check.
  const std::uint64_t endRecordInFile = endRecordPos + source->startOffset;
  const std::uint64_t directoryEndInFile =
      status == StatusOk ? endRecordInFile - Zip64TrailerLength(source, endRecordPos) : endRecordInFile;
  const std::uint64_t directoryEnd = std::uint64_t{directoryOffset} + directorySize;
  if (status == StatusOk && directoryEndInFile < directoryEnd) status = StatusBadArchive;
  DirectoryCursor* cursor = status == StatusOk ? new (std::nothrow) DirectoryCursor : nullptr;
  if (cursor == nullptr) {  // a failed allocation fails the open like a bad archive
    CloseSource(source);
    return nullptr;
  }
  cursor->source = *source;
  cursor->source.startOffset = 0;  // from now on seeks from the start are file positions
  cursor->entryCount = entriesOnDisk;
  cursor->commentLength = commentLength;
  cursor->prefixLength = directoryEndInFile - directoryEnd;
  cursor->endRecordPos = endRecordPos;
  cursor->directorySize = directorySize;
  cursor->directoryOffset = directoryOffset;
  const DirectoryExtent extent{cursor->prefixLength, directoryOffset, directorySize, entriesOnDisk};
  if (!SurveyDirectory(&cursor->source, extent, &cursor->layouts)) {
    CloseDirectory(cursor);
    return nullptr;
  }
  if (cursor->entryCount > 0) GoToFirstEntry(cursor);
  return cursor;
}

void CloseDirectory(DirectoryCursor* cursor) {
  if (cursor == nullptr) return;
  CloseSource(&cursor->source);
  delete cursor;
}

namespace {

std::int32_t DecodeCurrentRecord(DirectoryCursor* cursor) {
  const std::int32_t status = ReadDirectoryRecord(cursor, &cursor->record, &cursor->localHeaderOffset, nullptr, 0);
  cursor->currentOk = status == StatusOk;
  if (!cursor->currentOk && cursor->currentNumber < cursor->firstUndecodable) {
    cursor->firstUndecodable = cursor->currentNumber;
  }
  return status;
}

}  // namespace

std::int32_t GoToFirstEntry(DirectoryCursor* cursor) {
  cursor->currentRecordPos = cursor->directoryOffset;
  cursor->currentNumber = 0;
  return DecodeCurrentRecord(cursor);
}

std::int32_t GoToNextEntry(DirectoryCursor* cursor) {
  if (!cursor->currentOk || cursor->currentNumber + 1 >= cursor->entryCount) return StatusEndOfList;
  const DirectoryRecord& record = cursor->record;
  cursor->currentRecordPos += kCentralRecordSize + record.nameLength + record.extraLength + record.commentLength;
  cursor->currentNumber += 1;
  return DecodeCurrentRecord(cursor);
}

std::int32_t WalkToEntry(DirectoryCursor* cursor, std::uint32_t index) {
  if (index >= cursor->firstUndecodable) return StatusBadArchive;
  std::int32_t status = StatusOk;
  if (index < cursor->currentNumber || !cursor->currentOk) status = GoToFirstEntry(cursor);
  while (status == StatusOk && cursor->currentNumber < index) status = GoToNextEntry(cursor);
  if (status == StatusOk && (!cursor->currentOk || cursor->currentNumber != index)) status = StatusBadArchive;
  return status;
}

std::int32_t ReadDirectoryRecord(DirectoryCursor* cursor, DirectoryRecord* record, std::uint32_t* localHeaderOffset,
                                 char* nameBuffer, std::uint32_t nameCapacity) {
  ByteSource* source = &cursor->source;
  const std::uint64_t position = cursor->currentRecordPos + cursor->prefixLength;
  if (SourceSeek(source, static_cast<std::int64_t>(position), SeekOrigin::Start) != StatusOk) return StatusIoError;
  unsigned char fixed[kCentralRecordSize];
  if (SourceReadExact(source, fixed, kCentralRecordSize) != StatusOk) return StatusIoError;
  if (!HasSignatureAt(fixed, kCentralRecordSignature)) return StatusBadArchive;
  DirectoryRecord decoded;
  std::uint32_t decodedOffset = 0;
  DecodeDirectoryRecord(fixed, &decoded, &decodedOffset);
  if (nameBuffer != nullptr && nameCapacity > 0) {
    const std::uint32_t n = decoded.nameLength < nameCapacity ? decoded.nameLength : nameCapacity;
    if (SourceReadExact(source, nameBuffer, n) != StatusOk) return StatusIoError;
    if (decoded.nameLength < nameCapacity) nameBuffer[decoded.nameLength] = 0;
  }
  *record = decoded;
  *localHeaderOffset = decodedOffset;
  return StatusOk;
}

std::int32_t ReadCurrentName(DirectoryCursor* cursor, char* nameBuffer, std::uint32_t nameCapacity) {
  if (!cursor->currentOk || nameBuffer == nullptr || nameCapacity == 0) return StatusBadArgument;
  // Right after the walk's read of the fixed part the file is already there: no seek is made.
  const std::uint64_t position = cursor->currentRecordPos + cursor->prefixLength + kCentralRecordSize;
  if (SourceSeek(&cursor->source, static_cast<std::int64_t>(position), SeekOrigin::Start) != StatusOk) {
    return StatusIoError;
  }
  const std::uint32_t nameLength = cursor->record.nameLength;
  const std::uint32_t n = nameLength < nameCapacity ? nameLength : nameCapacity;
  if (SourceReadExact(&cursor->source, nameBuffer, n) != StatusOk) return StatusIoError;
  if (nameLength < nameCapacity) nameBuffer[nameLength] = 0;
  return StatusOk;
}

std::int32_t ReadCurrentExtra(DirectoryCursor* cursor, unsigned char* extra) {
  if (!cursor->currentOk) return StatusBadArgument;
  const DirectoryRecord& record = cursor->record;
  const std::uint64_t position =
      cursor->currentRecordPos + cursor->prefixLength + kCentralRecordSize + record.nameLength;
  if (SourceSeek(&cursor->source, static_cast<std::int64_t>(position), SeekOrigin::Start) != StatusOk) {
    return StatusIoError;
  }
  return SourceReadExact(&cursor->source, extra, record.extraLength);
}

std::int32_t CheckCurrentLocalHeader(DirectoryCursor* cursor, LocalHeaderCheck* check) {
  *check = LocalHeaderCheck{};
  if (!cursor->currentOk || cursor->currentNumber >= cursor->entryCount) return StatusBadArgument;
  return CheckLocalHeader(cursor->record, cursor->localHeaderOffset, cursor->layouts[cursor->currentNumber], check);
}
