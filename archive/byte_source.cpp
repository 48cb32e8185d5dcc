#include "archive/byte_source.h"

#include <cstring>

#include "archive/zip_format.h"

void InitFileSource(ByteSource* source, PlatformFile file, bool ownsHandle) {
  *source = ByteSource{};
  source->isFile = true;
  source->file = file;
  source->ownsHandle = ownsHandle;
  std::uint64_t position = 0;
  source->canSeek = SeekFile(file, 0, SeekOrigin::Current, &position);
  if (source->canSeek) source->startOffset = position;
  source->positionKnown = source->canSeek && ownsHandle;
  source->filePosition = position;
}

void InitMemorySource(ByteSource* source, const void* data, std::uint32_t size) {
  *source = ByteSource{};
  source->memory = static_cast<const unsigned char*>(data);
  source->memorySize = size;
}

void CloseSource(ByteSource* source) {
  if (source->isFile && source->ownsHandle) ClosePlatformFile(source->file);
  *source = ByteSource{};
}

std::uint32_t SourceRead(ByteSource* source, void* buffer, std::uint32_t size) {
  if (!source->isFile) {
    if (source->memoryPosition >= source->memorySize) return 0;
    const std::uint64_t available = source->memorySize - source->memoryPosition;
    const std::uint32_t n = available < size ? static_cast<std::uint32_t>(available) : size;
    std::memcpy(buffer, source->memory + source->memoryPosition, n);
    source->memoryPosition += n;
    return n;
  }
  std::uint32_t read = 0;
  if (!ReadFromFile(source->file, buffer, size, &read)) {
    source->readError = true;
    source->positionKnown = false;
  }
  source->filePosition += read;
  return read;
}

std::int32_t SourceReadExact(ByteSource* source, void* buffer, std::uint32_t size) {
  return SourceRead(source, buffer, size) == size ? StatusOk : StatusIoError;
}

namespace {

std::int32_t SeekMemory(ByteSource* source, std::int64_t offset, SeekOrigin origin) {
  std::int64_t base = 0;
  if (origin == SeekOrigin::Current) base = static_cast<std::int64_t>(source->memoryPosition);
  if (origin == SeekOrigin::End) base = source->memorySize;
  if (offset < 0 && -offset > base) return StatusIoError;
  source->memoryPosition = static_cast<std::uint64_t>(base + offset);
  return StatusOk;
}

}  // namespace

std::int32_t SourceSeek(ByteSource* source, std::int64_t offset, SeekOrigin origin) {
  if (!source->isFile) return SeekMemory(source, offset, origin);
  if (!source->canSeek) return StatusIoError;
  if (origin == SeekOrigin::Start) {
    offset += static_cast<std::int64_t>(source->startOffset);
    if (offset < 0) return StatusIoError;
    if (source->positionKnown && source->filePosition == static_cast<std::uint64_t>(offset)) return StatusOk;
  }
  std::uint64_t position = 0;
  if (!SeekFile(source->file, offset, origin, &position)) {
    source->positionKnown = false;
    return StatusIoError;
  }
  source->positionKnown = source->ownsHandle;
  source->filePosition = position;
  return StatusOk;
}

std::uint64_t SourceTell(ByteSource* source) {
  if (!source->isFile) return source->memoryPosition;
  if (!source->canSeek) return 0;
  std::uint64_t position = source->filePosition;
  if (!source->positionKnown && !SeekFile(source->file, 0, SeekOrigin::Current, &position)) return 0;
  return position >= source->startOffset ? position - source->startOffset : 0;
}
