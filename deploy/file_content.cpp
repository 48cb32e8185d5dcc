#include "deploy/file_content.h"

#include <zlib.h>

#include "platform/file_system.h"

std::uint32_t ContinueCrc32(std::uint32_t crc, const void* data, std::uint32_t size) {
  return static_cast<std::uint32_t>(crc32(crc, static_cast<const Bytef*>(data), static_cast<uInt>(size)));
}

FileContent CheckFileContent(const char16_t* path, std::uint32_t attributes, std::uint32_t size, std::uint32_t crc,
                             unsigned char* buffer, std::uint32_t capacity) {
  if (attributes == kInvalidAttributes || (attributes & (kAttributeDirectory | kAttributeReparsePoint)) != 0)
    return FileContent::Differs;
  ScopedPlatformFile file(OpenFileForReading(path));
  if (!file.IsValid()) return FileContent::NotNow;
  // Read to the end rather than asked for its size: one call per file fewer, and no more is read
  // than size and a byte, however long the file.
  std::uint32_t sum = 0;
  std::uint64_t total = 0;
  for (;;) {
    std::uint32_t read = 0;
    if (!ReadFromFile(file.Get(), buffer, capacity, &read)) return FileContent::NotNow;
    if (read == 0) break;
    total += read;
    if (total > size) return FileContent::Differs;
    sum = ContinueCrc32(sum, buffer, read);
  }
  return total == size && sum == crc ? FileContent::Same : FileContent::Differs;
}
