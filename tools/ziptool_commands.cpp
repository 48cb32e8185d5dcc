#include "tools/ziptool_commands.h"

#include <cinttypes>
#include <cstdio>
#include <string>

#include "archive/archive_reader.h"
#include "deploy/entry_names.h"
#include "deploy/unzip_folder.h"
#include "platform/file_system.h"
#include "platform/text_encoding.h"

namespace {

constexpr std::uint32_t kChunkSize = 16384;

std::string Utf8(const char16_t* text) {
  const int size = Utf16ToUtf8(text, -1, nullptr, 0);
  if (size <= 1) return std::string();
  std::string utf8(static_cast<std::size_t>(size), '\0');
  Utf16ToUtf8(text, -1, &utf8[0], size);
  utf8.resize(static_cast<std::size_t>(size - 1));
  return utf8;
}

unsigned Code(ArchiveResult result) { return static_cast<unsigned>(result); }

struct ArchiveCloser {
  ArchiveHandle handle;
  ~ArchiveCloser() {
    if (handle != nullptr) CloseArchive(handle);
  }
};

ArchiveHandle OpenOrReport(const char16_t* archivePath, const char* password) {
  const ArchiveHandle handle = OpenArchive(archivePath, password);
  if (handle == nullptr) {
    std::fprintf(stderr, "ziptool: cannot open %s as a ZIP archive (0x%08X)\n", Utf8(archivePath).c_str(),
                 Code(LastArchiveResult));
  }
  return handle;
}

std::int32_t EntryCount(ArchiveHandle handle) {
  ArchiveEntryInfo info;
  GetArchiveEntry(handle, -1, &info);
  return info.index;
}

const char* Reason(ArchiveResult result) {
  switch (result) {
    case ArchiveResult::Corrupt:
      return "damaged entry (header, size or CRC-32 does not agree)";
    case ArchiveResult::PasswordMismatch:
      return "wrong password";
    default:
      return "data cannot be read or decompressed";
  }
}

}  // namespace

int RunList(const char16_t* archivePath, const char* password) {
  ArchiveCloser archive{OpenOrReport(archivePath, password)};
  bool allDescribed = archive.handle != nullptr;
  const std::int32_t count = archive.handle != nullptr ? EntryCount(archive.handle) : 0;
  EntryNames names;
  for (std::int32_t index = 0; index < count; ++index) {
    ArchiveEntryInfo info;
    const ArchiveResult result = GetArchiveEntry(archive.handle, index, &info);
    if (result != ArchiveResult::Ok && result != ArchiveResult::NameTooLong && result != ArchiveResult::NameNotUtf8) {
      std::printf("%d\tfailed 0x%08X\n", index, Code(result));
      allDescribed = false;
      continue;
    }
    allDescribed = allDescribed && result == ArchiveResult::Ok;
    // The name the release would install the entry under, and whether it would refuse it for it.
    const char* refused = JudgeEntryName(names, result, info);
    std::printf("%d\t0x%02X\t%" PRIu64 "\t%u\t%u\t%s%s%s\n", index, info.attributes, FileTimeValue(info.writeTime),
                static_cast<unsigned>(info.compressedSize), static_cast<unsigned>(info.uncompressedSize),
                Utf8(info.name).c_str(), refused != nullptr ? "\trefused: " : "", refused != nullptr ? refused : "");
  }
  std::printf("result 0x%08X\n", Code(LastArchiveResult));
  return allDescribed ? 0 : 1;
}

// One line per entry that was not written: its number, its name and why. What concerns the whole
// archive or the folder goes to standard error.
void PrintNotWritten(void* failures, std::int32_t index, const char* event, const char16_t* name) {
  ++*static_cast<int*>(failures);
  if (index < 0) {
    std::fprintf(stderr, "ziptool: %s: %s\n", event, Utf8(name).c_str());
    return;
  }
  std::printf("%d\t%s\tnot written: %s\n", index, Utf8(name).c_str(), event);
}

int RunExtract(const char16_t* archivePath, const char16_t* folder, const char* password) {
  {
    // A folder is made only for an archive that can be read.
    ArchiveCloser probe{OpenOrReport(archivePath, password)};
    if (probe.handle == nullptr) return 1;
  }
  std::u16string path = folder;  // the folder and every missing folder above it
  if (path.empty() || !CreateMissingFolders(&path[0], 0, static_cast<std::uint32_t>(path.size()))) {
    std::fprintf(stderr, "ziptool: cannot create the folder %s\n", Utf8(folder).c_str());
    return 1;
  }
  // The release tool's own folder extraction: what it installs, ziptool writes.
  int failures = 0;
  UnzipReporter reporter;
  reporter.report = PrintNotWritten;
  reporter.context = &failures;
  const bool allWritten = UnzipToFolder(archivePath, folder, &reporter, password);
  std::fflush(stdout);
  if (failures > 0) std::fprintf(stderr, "ziptool: %d entries not written\n", failures);
  return allWritten ? 0 : 1;
}

namespace {

// Reads one entry whole in 16,384-byte chunks, handing each to out (null: the bytes are only
// checked). Answers Ok, the reader's failure, or WriteFailed when out refused a chunk.
ArchiveResult ReadEntryWhole(ArchiveHandle handle, std::int32_t index, std::uint32_t size, std::FILE* out) {
  static unsigned char buffer[kChunkSize];
  std::uint32_t delivered = 0;
  for (;;) {
    const ArchiveResult result = ExtractEntryToMemory(handle, index, buffer, kChunkSize);
    if (result != ArchiveResult::MoreData && result != ArchiveResult::Ok) return result;
    // Ok answers the call that delivered the last bytes: the rest of the size is in the buffer.
    const std::uint32_t chunk = result == ArchiveResult::MoreData ? kChunkSize : size - delivered;
    if (out != nullptr && std::fwrite(buffer, 1, chunk, out) != chunk) return ArchiveResult::WriteFailed;
    delivered += chunk;
    if (result == ArchiveResult::Ok) return result;
  }
}

}  // namespace

int RunCat(const char16_t* archivePath, std::int32_t index, const char* password) {
  ArchiveCloser archive{OpenOrReport(archivePath, password)};
  if (archive.handle == nullptr) return 1;
  ArchiveEntryInfo info;
  const ArchiveResult described = GetArchiveEntry(archive.handle, index, &info);
  if (described != ArchiveResult::Ok && described != ArchiveResult::NameTooLong &&
      described != ArchiveResult::NameNotUtf8) {
    std::fprintf(stderr, "ziptool: entry %d cannot be described (0x%08X)\n", index, Code(described));
    return 1;
  }
  const ArchiveResult result =
      ReadEntryWhole(archive.handle, index, static_cast<std::uint32_t>(info.uncompressedSize), stdout);
  if (result == ArchiveResult::WriteFailed) {
    std::fprintf(stderr, "ziptool: writing to standard output failed\n");
    return 1;
  }
  std::fflush(stdout);
  if (result != ArchiveResult::Ok) {
    std::fprintf(stderr, "ziptool: entry %d: %s (0x%08X)\n", index, Reason(result), Code(result));
    return 1;
  }
  return std::ferror(stdout) ? 1 : 0;
}

int RunTest(const char16_t* archivePath, const char* password) {
  ArchiveCloser archive{OpenOrReport(archivePath, password)};
  if (archive.handle == nullptr) return 1;
  int failures = 0;
  const std::int32_t count = EntryCount(archive.handle);
  for (std::int32_t index = 0; index < count; ++index) {
    ArchiveEntryInfo info;
    ArchiveResult result = GetArchiveEntry(archive.handle, index, &info);
    if (result != ArchiveResult::Ok && result != ArchiveResult::NameTooLong && result != ArchiveResult::NameNotUtf8) {
      std::printf("%d\t%s\tnot read: its records are broken (0x%08X)\n", index, Utf8(info.name).c_str(), Code(result));
      ++failures;
      continue;
    }
    result = ReadEntryWhole(archive.handle, index, static_cast<std::uint32_t>(info.uncompressedSize), nullptr);
    if (result != ArchiveResult::Ok) {
      std::printf("%d\t%s\tnot read: %s (0x%08X)\n", index, Utf8(info.name).c_str(), Reason(result), Code(result));
      ++failures;
    }
  }
  std::fflush(stdout);
  if (failures > 0) std::fprintf(stderr, "ziptool: %d entries not read whole\n", failures);
  return failures == 0 ? 0 : 1;
}
