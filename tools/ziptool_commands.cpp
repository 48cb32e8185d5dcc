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
    const ArchiveResult result = LastArchiveResult;
    const char* why = IsZip64Archive(archivePath)
                          ? ": it is a ZIP64 archive, which the release tool's reader does not read; make an archive "
                            "under 4 GiB without ZIP64"
                          : "";
    std::fprintf(stderr, "ziptool: cannot open %s as a ZIP archive%s (0x%08X)\n", Utf8(archivePath).c_str(), why,
                 Code(result));
  }
  return handle;
}

// The names of the compression methods that archivers use beside stored (0) and deflated (8).
const char* MethodName(std::uint32_t method) {
  static const struct {
    std::uint32_t method;
    const char* name;
  } kMethods[] = {{1, "Shrink"}, {2, "Reduce"},   {3, "Reduce"},     {4, "Reduce"},
                  {5, "Reduce"}, {6, "Implode"},  {9, "Deflate64"},  {10, "PKWARE DCL Implode"},
                  {12, "bzip2"}, {14, "LZMA"},    {18, "IBM TERSE"}, {19, "IBM LZ77"},
                  {20, "zstd"},  {93, "zstd"},    {94, "MP3"},       {95, "xz"},
                  {96, "JPEG"},  {97, "WavPack"}, {98, "PPMd"},      {99, "AES encryption"}};
  for (const auto& known : kMethods) {
    if (known.method == method) return known.name;
  }
  return "an unknown method";
}

// What the reader does not support about an entry and what to do, from its directory record; empty
// when the entry uses nothing unsupported, and its records are broken instead.
std::string Unsupported(ArchiveHandle handle, std::int32_t index) {
  ArchiveEntryFormat format;
  if (GetArchiveEntryFormat(handle, index, &format) != ArchiveResult::Ok) return std::string();
  const std::string unread = ", which the release tool's reader does not read; ";
  if (format.method == 99 || (format.flags & kEntryFlagStrongEncryption) != 0) {
    const std::string how = format.method == 99 ? "AES (method 99)" : "strong encryption";
    return "encrypted with " + how + unread + "store or deflate it without encryption";
  }
  if (format.method != 0 && format.method != 8) {
    return "compressed with " + std::string(MethodName(format.method)) + " (method " + std::to_string(format.method) +
           ")" + unread + "store or deflate it";
  }
  if (format.zip64)
    return "its size or place is in a ZIP64 field" + unread + "make an archive under 4 GiB without ZIP64";
  return std::string();
}

// Why an entry could not be described: what is unsupported, or that its records are broken.
std::string NotDescribed(ArchiveHandle handle, std::int32_t index) {
  const std::string unsupported = Unsupported(handle, index);
  return unsupported.empty() ? "its records are broken" : unsupported;
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
      std::printf("%d\t%s\tfailed 0x%08X: %s\n", index, Utf8(info.name).c_str(), Code(result),
                  NotDescribed(archive.handle, index).c_str());
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

// The extraction's failures, and a reader of the same archive to say more about an entry that it
// could not describe.
struct NotWritten {
  int failures = 0;
  ArchiveHandle archive = nullptr;
};

// One line per entry that was not written: its number, its name and why. What concerns the whole
// archive or the folder goes to standard error.
void PrintNotWritten(void* context, std::int32_t index, const char* event, const char16_t* name) {
  auto* notWritten = static_cast<NotWritten*>(context);
  ++notWritten->failures;
  if (index < 0) {
    std::fprintf(stderr, "ziptool: %s: %s\n", event, Utf8(name).c_str());
    return;
  }
  if (std::string(event) != kUnzipUnreadable || notWritten->archive == nullptr) {
    std::printf("%d\t%s\tnot written: %s\n", index, Utf8(name).c_str(), event);
    return;
  }
  ArchiveEntryInfo info;
  GetArchiveEntry(notWritten->archive, index, &info);
  std::printf("%d\t%s\tnot written: %s: %s\n", index, Utf8(info.name).c_str(), event,
              NotDescribed(notWritten->archive, index).c_str());
}

int RunExtract(const char16_t* archivePath, const char16_t* folder, const char* password) {
  // A folder is made only for an archive that can be read.
  ArchiveCloser describer{OpenOrReport(archivePath, password)};
  if (describer.handle == nullptr) return 1;
  std::u16string path = folder;  // the folder and every missing folder above it
  if (path.empty() || !CreateMissingFolders(&path[0], 0, static_cast<std::uint32_t>(path.size()))) {
    std::fprintf(stderr, "ziptool: cannot create the folder %s\n", Utf8(folder).c_str());
    return 1;
  }
  // The release tool's own folder extraction: what it installs, ziptool writes.
  NotWritten notWritten;
  notWritten.archive = describer.handle;
  UnzipReporter reporter;
  reporter.report = PrintNotWritten;
  reporter.context = &notWritten;
  const bool allWritten = UnzipToFolder(archivePath, folder, &reporter, password);
  std::fflush(stdout);
  if (notWritten.failures > 0) std::fprintf(stderr, "ziptool: %d entries not written\n", notWritten.failures);
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
    const std::string why =
        described == ArchiveResult::BadArgument ? "no such entry" : NotDescribed(archive.handle, index);
    std::fprintf(stderr, "ziptool: entry %d cannot be described: %s (0x%08X)\n", index, why.c_str(), Code(described));
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
      std::printf("%d\t%s\tnot read: %s (0x%08X)\n", index, Utf8(info.name).c_str(),
                  NotDescribed(archive.handle, index).c_str(), Code(result));
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
