// ExtractEntry: an entry's data into memory chunk by chunk, or whole into a file.
#include <new>
#include <string>

#include "archive/archive_state.h"

namespace {

constexpr std::uint32_t kTargetPathCapacity = 1024;

ArchiveResult ReadFailureResult(std::int64_t status) {
  return status == StatusBadPassword ? ArchiveResult::PasswordMismatch : ArchiveResult::InflateFailed;
}

ArchiveResult ExtractToMemory(ArchiveReader* reader, std::int32_t index, void* buffer, std::uint32_t length) {
  DirectoryCursor* cursor = reader->cursor;
  if (index < 0 || index != reader->currentEntryIndex) {  // -1 is "none", never an entry
    CloseOpenEntry(reader);
    if (index < 0 || index >= static_cast<std::int64_t>(cursor->entryCount)) return ArchiveResult::BadArgument;
    if (WalkToEntry(cursor, static_cast<std::uint32_t>(index)) != StatusOk) return ArchiveResult::Corrupt;
    // A failed open leaves no stream; the read below then reports it as InflateFailed.
    OpenEntryStream(cursor, reader->password.get(), &reader->stream);
    reader->currentEntryIndex = index;
  }
  bool ended = false;
  const std::int64_t read = ReadEntryStream(reader->stream, buffer, length, &ended);
  if (ended) {
    if (CheckEntryData(*reader->stream) == StatusOk) return ArchiveResult::Ok;
    CloseOpenEntry(reader);
    return ArchiveResult::Corrupt;
  }
  if (read > 0) return ArchiveResult::MoreData;
  CloseOpenEntry(reader);
  return ReadFailureResult(read);
}

bool IsAbsolute(const char16_t* path) { return IsPathSeparator(path[0]) || (path[0] != 0 && path[1] == u':'); }

// The target path, below the reader's root folder when it is relative; false when it does not fit.
bool ResolveTargetPath(const ArchiveReader* reader, const char16_t* target, char16_t (&path)[kTargetPathCapacity]) {
  std::uint32_t length = 0;
  const auto append = [&path, &length](const char16_t* text) {
    for (; *text != 0; ++text) {
      if (length + 1 >= kTargetPathCapacity) return false;
      path[length++] = *text;
    }
    path[length] = 0;
    return true;
  };
  path[0] = 0;
  return (IsAbsolute(target) || append(reader->rootFolder)) && append(target);
}

// Where the folders of a path begin: after "C:\", after "\\server\share\", or after a leading
// separator; none of those can be created.
std::uint32_t FirstCreatableFolder(const char16_t* path) {
  if (path[0] != 0 && path[1] == u':') return IsPathSeparator(path[2]) ? 3 : 2;
  if (IsPathSeparator(path[0]) && IsPathSeparator(path[1])) {
    std::uint32_t i = 2;
    for (int separators = 0; path[i] != 0 && separators < 2; ++i) {
      if (IsPathSeparator(path[i])) ++separators;
    }
    return i;
  }
  return IsPathSeparator(path[0]) ? 1 : 0;
}

std::uint32_t LastSeparator(const char16_t* path) {
  std::uint32_t last = 0;
  for (std::uint32_t i = 0; path[i] != 0; ++i) {
    if (IsPathSeparator(path[i])) last = i;
  }
  return last;
}

// Moves the current entry's data into a file through the reader's output buffer. With a path,
// the file is created only once the first chunk has arrived (a wrong password or unreadable data
// then leaves an existing file alone), and a file that did not receive the intact entry is
// deleted again, so a damaged entry never stands on disk as if it were good.
ArchiveResult CopyEntryToFile(ArchiveReader* reader, const ArchiveEntryInfo& info, PlatformFile lentFile,
                              const char16_t* createPath) {
  if (reader->outputBuffer == nullptr) reader->outputBuffer.reset(new (std::nothrow) unsigned char[kDataBlockSize]);
  if (reader->outputBuffer == nullptr) return ArchiveResult::InflateFailed;
  OpenEntryStream(reader->cursor, reader->password.get(), &reader->stream);
  ScopedPlatformFile created;
  PlatformFile file = lentFile;
  ArchiveResult result = ArchiveResult::InflateFailed;
  for (;;) {
    bool ended = false;
    const std::int64_t read = ReadEntryStream(reader->stream, reader->outputBuffer.get(), kDataBlockSize, &ended);
    if (read <= 0 && !ended) {
      result = ReadFailureResult(read);
      break;
    }
    if (createPath != nullptr && !created.IsValid()) {
      created.Reset(CreateFileForWriting(createPath, info.attributes));
      if (!created.IsValid()) {
        result = ArchiveResult::OpenFailed;
        break;
      }
      file = created.Get();
    }
    if (read > 0 && !WriteToFile(file, reader->outputBuffer.get(), static_cast<std::uint32_t>(read))) {
      result = ArchiveResult::WriteFailed;
      break;
    }
    if (ended) {
      result = CheckEntryData(*reader->stream) == StatusOk ? ArchiveResult::Ok : ArchiveResult::Corrupt;
      break;
    }
  }
  CloseOpenEntry(reader);
  if (result == ArchiveResult::Ok) SetFileTimes(file, &info.creationTime, &info.accessTime, &info.writeTime);
  if (result != ArchiveResult::Ok && created.IsValid()) {
    created.Reset();
    DeletePlainFile(createPath);
  }
  return result;
}

// A caller that described the entry just before (as an unpacker does) is answered from the cache:
// only the walk to the entry remains, which reads nothing when the cursor is already there.
ArchiveResult DescribeForExtraction(ArchiveReader* reader, std::int32_t index, ArchiveEntryInfo* info) {
  if (index != reader->cachedIndex) return DescribeEntry(reader, index, info);
  *info = reader->cachedInfo;
  const std::int32_t walked = WalkToEntry(reader->cursor, static_cast<std::uint32_t>(index));
  return walked == StatusOk ? ArchiveResult::Ok : ArchiveResult::Corrupt;
}

ArchiveResult ExtractToFile(ArchiveReader* reader, std::int32_t index, void* target, std::int32_t targetKind) {
  CloseOpenEntry(reader);
  if (index < 0 || index >= static_cast<std::int64_t>(reader->cursor->entryCount)) return ArchiveResult::BadArgument;
  if (target == nullptr && targetKind == kTargetFilePath) return ArchiveResult::BadArgument;
  ArchiveEntryInfo info;
  const ArchiveResult described = DescribeForExtraction(reader, index, &info);
  if (described == ArchiveResult::NameTooLong || described == ArchiveResult::NameNotUtf8 ||
      (described == ArchiveResult::Ok && !EntryNameIsSafe(info.name))) {
    return ArchiveResult::OpenFailed;  // refused: nothing is created for a name we cannot trust
  }
  if (described != ArchiveResult::Ok) return described;
  const bool isFolder = EntryIsFolder(info);
  if (targetKind == kTargetFileHandle) {
    const auto file = static_cast<PlatformFile>(target);
    if (isFolder) return ArchiveResult::Ok;
    if (!IsValidPlatformFile(file)) return ArchiveResult::OpenFailed;
    return CopyEntryToFile(reader, info, file, nullptr);
  }
  char16_t path[kTargetPathCapacity];
  if (!ResolveTargetPath(reader, static_cast<const char16_t*>(target), path)) return ArchiveResult::OpenFailed;
  const std::uint32_t folderLength =
      isFolder ? static_cast<std::uint32_t>(std::char_traits<char16_t>::length(path)) : LastSeparator(path);
  if (!CreateMissingFolders(path, FirstCreatableFolder(path), folderLength)) return ArchiveResult::OpenFailed;
  if (isFolder) return ArchiveResult::Ok;
  return CopyEntryToFile(reader, info, InvalidPlatformFile(), path);
}

}  // namespace

ArchiveResult ExtractEntry(ArchiveHandle handle, std::int32_t index, void* target, std::uint32_t length,
                           std::int32_t targetKind) {
  const ArchiveResult check = CheckHandle(handle);
  if (check != ArchiveResult::Ok) return Finish(check);
  ArchiveReader* reader = handle->reader;
  if (targetKind == kTargetMemory) {
    if (target == nullptr && length != 0) return Finish(ArchiveResult::BadArgument);
    return Finish(ExtractToMemory(reader, index, target, length));
  }
  if (targetKind == kTargetFileHandle || targetKind == kTargetFilePath) {
    return Finish(ExtractToFile(reader, index, target, targetKind));
  }
  return Finish(ArchiveResult::BadArgument);
}

ArchiveResult ExtractEntryToMemory(ArchiveHandle handle, std::int32_t index, void* buffer, std::uint32_t length) {
  return ExtractEntry(handle, index, buffer, length, kTargetMemory);
}
