// Scratch places of the fuzz targets on the host: one file and one folder per process, under
// TMPDIR (or /tmp), removed when the process ends.
#pragma once

#include <cstddef>
#include <string>

#include "platform/file_system.h"

// The process's scratch file, rewritten for each input that wants to be read from a file.
class ScratchFile {
 public:
  ScratchFile() = default;
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  ~ScratchFile();

  // The file becomes prefix followed by data.
  bool Write(const void* prefix, std::size_t prefixSize, const void* data, std::size_t size);
  const char16_t* Path() const;
  // A handle positioned at offset, owned by this object (closed when it goes).
  PlatformFile OpenAt(std::size_t offset);

 private:
  ScopedPlatformFile lent_;
};

// A folder unique to the process (its parent is a folder of its own too, so that a test can see
// anything created next to it); created on first use.
const std::string& ScratchRoot();
std::u16string ToUtf16(const std::string& ascii);
// Removes path and everything below it; does not follow symbolic links.
void RemoveTreeAt(const std::string& path);
