// The central directory: finding the end record, walking the records one by one, and checking
// an entry's local header against its record. No index is built; walking backwards restarts
// from entry 0, so visiting entries in ascending order costs one record read per step.
#pragma once

#include <cstdint>
#include <memory>

#include "archive/byte_source.h"
#include "archive/directory_record.h"
#include "archive/zip_format.h"

struct DirectoryCursor {
  ByteSource source;  // owned
  std::uint32_t entryCount = 0;
  std::uint32_t commentLength = 0;  // read, not used
  // Bytes in front of the archive proper (a self-extractor stub, say): every stored offset is
  // relative to the archive's start, so every seek to one adds this.
  std::uint64_t prefixLength = 0;
  std::uint32_t currentNumber = 0;
  std::uint64_t currentRecordPos = 0;  // relative to the archive's start
  bool currentOk = false;              // the current record decoded without error
  std::uint64_t endRecordPos = 0;
  std::uint32_t directorySize = 0;
  std::uint32_t directoryOffset = 0;
  DirectoryRecord record;
  std::uint32_t localHeaderOffset = 0;
  std::unique_ptr<EntryLayout[]> layouts;  // entryCount of them, from the survey at open
  // No record from this number on could be decoded (the file changed or cannot be read since the
  // survey): a walk to one of them fails at once instead of starting from entry 0 again.
  std::uint32_t firstUndecodable = 0xFFFFFFFF;
};

// The position of the end-of-central-directory record nearest the end of the source, searched
// in the last 65,557 bytes (the record behind the longest comment); false when there is none.
bool FindEndRecord(ByteSource* source, std::uint64_t* position);
// Whether the end record at position leaves a count, size or offset to a ZIP64 end record, whose
// locator stands right in front of it.
bool EndRecordDefersToZip64(ByteSource* source, std::uint64_t position);
// Takes the source over: on success the cursor owns it, on failure it is closed. Refuses an
// archive whose directory disagrees with its end record (see SurveyDirectory). The cursor is on
// entry 0.
DirectoryCursor* OpenDirectory(ByteSource* source);
void CloseDirectory(DirectoryCursor* cursor);

std::int32_t GoToFirstEntry(DirectoryCursor* cursor);
std::int32_t GoToNextEntry(DirectoryCursor* cursor);
// Leaves the cursor on entry index (< entryCount). A record that does not decode stops the walk
// with its status: the walk never loops on a cursor that cannot advance.
std::int32_t WalkToEntry(DirectoryCursor* cursor, std::uint32_t index);

// Decodes the current record; the name (when a buffer is given) gets nameCapacity bytes at most
// and a terminator only when it is shorter than that. The record and the local-header offset
// are copied out only on success.
std::int32_t ReadDirectoryRecord(DirectoryCursor* cursor, DirectoryRecord* record, std::uint32_t* localHeaderOffset,
                                 char* nameBuffer, std::uint32_t nameCapacity);
// Whether the survey found the current entry sound (StatusBadArchive if not), and where its local
// header puts its extra field and data. Reads nothing.
std::int32_t CheckCurrentLocalHeader(DirectoryCursor* cursor, LocalHeaderCheck* check);
// The current record's name (nameCapacity bytes at most, terminated only when shorter), read
// after a walk that decoded the record without it: the fixed part is not read a second time.
std::int32_t ReadCurrentName(DirectoryCursor* cursor, char* nameBuffer, std::uint32_t nameCapacity);
// The current record's extra field (record.extraLength bytes), which the survey found inside the
// directory.
std::int32_t ReadCurrentExtra(DirectoryCursor* cursor, unsigned char* extra);
