// Opening and closing a reader over its three kinds of source.
#include <cstring>
#include <new>

#include "archive/archive_state.h"

ArchiveResult LastArchiveResult = ArchiveResult::Ok;

namespace {

void FillRootFolder(ArchiveReader* reader) {
  char16_t* folder = reader->rootFolder;
  const std::uint32_t length = GetCurrentFolder(folder, kRootFolderCapacity);
  if (length == 0 || length >= kRootFolderCapacity - 1) {  // no room left for the separator
    folder[0] = 0;
    return;
  }
  if (folder[length - 1] != u'\\' && folder[length - 1] != u'/') {
    folder[length] = u'\\';
    folder[length + 1] = 0;
  }
}

ArchiveReader* NewReader(const char* password) {
  auto* reader = new (std::nothrow) ArchiveReader;
  if (reader == nullptr || password == nullptr) return reader;
  const std::size_t size = std::strlen(password) + 1;
  reader->password.reset(new (std::nothrow) char[size]);
  if (reader->password == nullptr) {
    delete reader;
    return nullptr;
  }
  std::memcpy(reader->password.get(), password, size);
  return reader;
}

// Takes the source over whatever happens.
ArchiveHandle OpenOverSource(ByteSource* source, const char* password) {
  ArchiveReader* reader = NewReader(password);
  if (reader == nullptr) {
    CloseSource(source);
    Finish(ArchiveResult::OpenFailed);
    return nullptr;
  }
  FillRootFolder(reader);
  reader->cursor = OpenDirectory(source);
  auto* handle = reader->cursor != nullptr ? new (std::nothrow) ArchiveHandleRecord : nullptr;
  if (handle == nullptr) {
    CloseDirectory(reader->cursor);
    delete reader;
    Finish(ArchiveResult::OpenFailed);
    return nullptr;
  }
  handle->reader = reader;
  Finish(ArchiveResult::Ok);
  return handle;
}

}  // namespace

ArchiveHandle OpenArchive(const char16_t* path, const char* password) {
  if (path == nullptr) {
    Finish(ArchiveResult::BadArgument);
    return nullptr;
  }
  const PlatformFile file = OpenFileForReading(path);
  if (!IsValidPlatformFile(file)) {
    Finish(ArchiveResult::OpenFailed);
    return nullptr;
  }
  ByteSource source;
  InitFileSource(&source, file, true);
  return OpenOverSource(&source, password);
}

bool IsZip64Archive(const char16_t* path) {
  const PlatformFile file = path != nullptr ? OpenFileForReading(path) : InvalidPlatformFile();
  if (!IsValidPlatformFile(file)) return false;
  ByteSource source;
  InitFileSource(&source, file, true);
  std::uint64_t position = 0;
  const bool zip64 = FindEndRecord(&source, &position) && EndRecordDefersToZip64(&source, position);
  CloseSource(&source);
  return zip64;
}

ArchiveHandle OpenArchiveFromHandle(PlatformFile file, const char* password) {
  if (!IsValidPlatformFile(file)) {
    Finish(ArchiveResult::BadArgument);
    return nullptr;
  }
  ByteSource source;
  InitFileSource(&source, file, false);
  if (!source.canSeek) {
    Finish(ArchiveResult::NotSeekable);
    return nullptr;
  }
  return OpenOverSource(&source, password);
}

ArchiveHandle OpenArchiveFromMemory(const void* data, std::uint32_t size, const char* password) {
  if (data == nullptr && size != 0) {
    Finish(ArchiveResult::BadArgument);
    return nullptr;
  }
  ByteSource source;
  InitMemorySource(&source, data, size);
  return OpenOverSource(&source, password);
}

void CloseOpenEntry(ArchiveReader* reader) {
  if (reader->stream != nullptr) CloseEntryStream(reader->stream);
  reader->stream = nullptr;
  reader->currentEntryIndex = -1;
}

ArchiveResult CloseArchive(ArchiveHandle handle) {
  const ArchiveResult check = CheckHandle(handle);
  if (check != ArchiveResult::Ok) return Finish(check);
  ArchiveReader* reader = handle->reader;
  CloseOpenEntry(reader);
  CloseDirectory(reader->cursor);
  delete reader;
  delete handle;
  return Finish(ArchiveResult::Ok);
}
