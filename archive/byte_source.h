// The reader's view of an archive: a file (owned or lent by the caller) or a memory block.
// No buffering of its own: every read goes to the file, so a read of entry data never depends on
// what other reads left in a buffer.
#pragma once

#include <cstdint>

#include "platform/file_system.h"

struct ByteSource {
  bool isFile = false;
  bool canSeek = false;
  PlatformFile file = nullptr;
  bool readError = false;         // a file read failed; never cleared
  std::uint64_t startOffset = 0;  // where the source began in the file; 0 once the directory is open
  bool ownsHandle = false;
  const unsigned char* memory = nullptr;
  std::uint32_t memorySize = 0;
  std::uint64_t memoryPosition = 0;  // may lie past the block: reads there deliver nothing
  // The file position as our own seeks and reads left it, so a seek to where the file already
  // is costs no system call. Only kept for a file we own: nobody else moves it.
  bool positionKnown = false;
  std::uint64_t filePosition = 0;
};

// A source over a file the reader opened and closes; canSeek and startOffset from its position.
void InitFileSource(ByteSource* source, PlatformFile file, bool ownsHandle);
void InitMemorySource(ByteSource* source, const void* data, std::uint32_t size);
void CloseSource(ByteSource* source);

// Bytes read, fewer than size only at the end of the data or on a read error.
std::uint32_t SourceRead(ByteSource* source, void* buffer, std::uint32_t size);
// StatusOk only when all size bytes arrived: a read that runs past the end of the archive fails
// and never yields a value assembled from bytes that were not read.
std::int32_t SourceReadExact(ByteSource* source, void* buffer, std::uint32_t size);
// Offsets from the start count from startOffset. StatusOk or StatusIoError.
std::int32_t SourceSeek(ByteSource* source, std::int64_t offset, SeekOrigin origin);
// The position relative to startOffset; 0 for a file that cannot seek.
std::uint64_t SourceTell(ByteSource* source);
