// Shared helpers of the reader's tests: archives opened from bytes or files, whole-entry
// extraction through the public chunk loop, files through the platform seam.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "archive/archive_reader.h"

struct ArchiveCloser {
  void operator()(ArchiveHandleRecord* handle) const { CloseArchive(handle); }
};
using OpenedArchive = std::unique_ptr<ArchiveHandleRecord, ArchiveCloser>;

// The bytes stay owned by the caller and must outlive the archive.
OpenedArchive OpenBytes(const std::string& bytes, const char* password = nullptr);
OpenedArchive OpenBytes(std::string&& bytes, const char* password = nullptr) = delete;  // would dangle
OpenedArchive OpenPath(const std::u16string& path, const char* password = nullptr);

struct Extraction {
  std::vector<ArchiveResult> results;  // one per call, until the first answer other than MoreData
  std::string data;                    // full chunks of MoreData, then the rest up to the size at Ok
};
// Calls ExtractEntryToMemory until it stops answering MoreData (at most 100,000 calls).
Extraction ExtractWhole(ArchiveHandle handle, std::int32_t index, std::uint32_t size, std::uint32_t chunk = 16384);
// The entry's size from GetArchiveEntry, then ExtractWhole.
Extraction ExtractDescribed(ArchiveHandle handle, std::int32_t index);

std::u16string Utf16(const std::string& utf8);
std::string Utf8(const std::u16string& text);
bool ReadWholeFile(const std::u16string& path, std::string* bytes);
bool WriteWholeFile(const std::u16string& path, const std::string& bytes);
// The file's last-write time as a FILETIME value; 0 when it cannot be read.
std::uint64_t FileWriteTime(const std::u16string& path);
// A fresh empty folder (its parents made as needed) in this test program's scratch folder, which
// lies in the system's temporary folder and is removed when the tests end.
std::u16string ScratchFolder(const std::string& name);

// Test failures show codes as the hexadecimal values that callers compare.
void PrintTo(ArchiveResult result, std::ostream* out);
