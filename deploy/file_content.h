// Whether a file in the folder already holds given bytes, judged by their size and CRC-32 read
// from the disk: an update leaves such a file as it is, and removes a dropped one only while it
// still holds what was installed.
#pragma once

#include <cstdint>

enum class FileContent {
  Same,     // a plain file (no link, no folder) of exactly that size and CRC-32
  Differs,  // anything else: another size or content, a link, a folder, nothing at all
  NotNow,   // a plain file that cannot be opened or read at this moment (in use, denied)
};

// attributes: the path's, as GetPathAttributes answered them just before. buffer[0, capacity) is
// scratch space for the reading.
FileContent CheckFileContent(const char16_t* path, std::uint32_t attributes, std::uint32_t size, std::uint32_t crc,
                             unsigned char* buffer, std::uint32_t capacity);

// The CRC-32 of data, continued from crc (0 to start), as ZIP archives compute it.
std::uint32_t ContinueCrc32(std::uint32_t crc, const void* data, std::uint32_t size);
