// What a handle holds, shared by the public operations.
#pragma once

#include <cstdint>
#include <memory>

#include "archive/archive_reader.h"
#include "archive/directory_cursor.h"
#include "archive/entry_stream.h"

inline constexpr std::uint32_t kArchiveReaderKind = 1;
inline constexpr std::uint32_t kRootFolderCapacity = 260;

struct ArchiveReader {
  DirectoryCursor* cursor = nullptr;    // owned
  EntryStream* stream = nullptr;        // the one entry open for data reading, owned; reads the cursor's source
  std::int32_t currentEntryIndex = -1;  // the entry open for data reading, -1 none
  ArchiveEntryInfo cachedInfo;
  std::int32_t cachedIndex = -1;
  std::unique_ptr<char[]> password;
  std::unique_ptr<unsigned char[]> outputBuffer;  // kDataBlockSize, made by the first file extraction
  // The current folder at open time, ending in a separator; relative target paths go below it.
  // Empty when the folder did not fit: such paths then follow the current folder of the moment.
  char16_t rootFolder[kRootFolderCapacity] = {};
};

struct ArchiveHandleRecord {
  std::uint32_t kind = kArchiveReaderKind;
  ArchiveReader* reader = nullptr;
};

inline ArchiveResult Finish(ArchiveResult result) {
  LastArchiveResult = result;
  return result;
}

inline ArchiveResult CheckHandle(ArchiveHandle handle) {
  if (handle == nullptr) return ArchiveResult::BadArgument;
  if (handle->kind != kArchiveReaderKind || handle->reader == nullptr) return ArchiveResult::WrongHandleKind;
  return ArchiveResult::Ok;
}

// Ends a partly read entry (its verdict is not wanted) and returns to the idle state.
void CloseOpenEntry(ArchiveReader* reader);
// Describes entry index (0 <= index < entryCount) by reading the archive; leaves the cursor on
// it. Ok and NameTooLong fill info; only Ok is cached.
ArchiveResult DescribeEntry(ArchiveReader* reader, std::int32_t index, ArchiveEntryInfo* info);
