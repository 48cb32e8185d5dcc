#include "tools/ziptool_commands.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "archive/archive_reader.h"
#include "deploy/entry_names.h"
#include "deploy/unzip_folder.h"
#include "platform/file_system.h"
#include "platform/file_time.h"
#include "tools/ziptool_names.h"

namespace {

constexpr std::uint32_t kChunkSize = 16384;

unsigned Code(ArchiveResult result) { return static_cast<unsigned>(result); }

struct ArchiveCloser {
  ArchiveHandle handle;
  ~ArchiveCloser() {
    if (handle != nullptr) CloseArchive(handle);
  }
};

// "1 entry", "2 entries".
std::string Entries(int count) { return std::to_string(count) + (count == 1 ? " entry" : " entries"); }

// Why the file at path is not there to be read at all; empty for a file that can be read. The
// reader says only that it could not open the archive, which reads as damage to a vendor who
// mistyped the path.
std::string FileProblem(const char16_t* path) {
  const std::uint32_t attributes = GetPathAttributes(path);
#ifdef _WIN32
  if (attributes == kInvalidAttributes) return "no such file";
#else
  if (attributes == kInvalidAttributes)
    return errno == ENOENT || errno == ENOTDIR ? "no such file"
                                               : std::string("cannot be read: ") + std::strerror(errno);
#endif
  if ((attributes & kAttributeDirectory) != 0) return "a folder, not an archive file";
  ScopedPlatformFile file(OpenFileForReading(path));
  if (file.IsValid()) return std::string();
#ifdef _WIN32
  return "cannot be read: access denied, or another program holds it";
#else
  return std::string("cannot be read: ") + std::strerror(errno);
#endif
}

ArchiveHandle OpenOrReport(const char16_t* archivePath, const char* password) {
  const ArchiveHandle handle = OpenArchive(archivePath, password);
  if (handle != nullptr) return handle;
  const ArchiveResult result = LastArchiveResult;
  const std::string problem = FileProblem(archivePath);
  if (!problem.empty()) {
    std::fprintf(stderr, "ziptool: cannot open %s: %s\n", Utf8(archivePath).c_str(), problem.c_str());
    return nullptr;
  }
  const char* why = IsZip64Archive(archivePath)
                        ? ": it is a ZIP64 archive, which the release tool's reader does not read; make an archive "
                          "under 4 GiB without ZIP64"
                        : "";
  std::fprintf(stderr, "ziptool: cannot open %s as a ZIP archive%s (0x%08X)\n", Utf8(archivePath).c_str(), why,
               Code(result));
  return nullptr;
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

// The event of an entry that cannot be described, as the extraction names it, and why: what is
// unsupported, or that its records are broken.
std::string NotDescribed(ArchiveHandle handle, std::int32_t index) {
  const std::string unsupported = Unsupported(handle, index);
  return std::string(kUnzipUnreadable) + ": " + (unsupported.empty() ? "its records are broken" : unsupported);
}

bool Described(ArchiveResult result) {
  return result == ArchiveResult::Ok || result == ArchiveResult::NameTooLong || result == ArchiveResult::NameNotUtf8;
}

std::int32_t EntryCount(ArchiveHandle handle) {
  ArchiveEntryInfo info;
  GetArchiveEntry(handle, -1, &info);
  return info.index;
}

// A failed read as the extraction names it, so that test, cat and extract say one thing.
const char* ReadEvent(ArchiveResult result) {
  if (result == ArchiveResult::Corrupt) return kUnzipDataCorrupt;
  if (result == ArchiveResult::PasswordMismatch) return kUnzipPasswordMismatch;
  return kUnzipReadFailed;
}

// What ziptool adds to the event that refuses an entry for its name.
std::string NameEventDetail(ArchiveHandle handle, const NameOwners& owners, std::int32_t index, const char* event,
                            ArchiveResult described, const ArchiveEntryInfo& info) {
  if (std::strcmp(event, kUnzipRefusedName) == 0) return ": " + RefusalReason(described, info.name);
  if (std::strcmp(event, kUnzipDuplicateName) == 0) return ": " + DuplicateReason(handle, owners, index, info);
  return std::string();
}

// A UTC time as this machine's local time, "2024-05-01 13:45:10", with the zone's offset of today
// as the reader applies it to the archive's DOS times, so that those show as stored; "-" for none.
std::string LocalTimeText(const FileTime& utc) {
  constexpr std::int64_t kTicksPerSecond = 10000000;
  constexpr std::int64_t kDaysFrom1601To1970 = 134774;
  if (FileTimeValue(utc) == 0) return "-";
  FileTime shifted;
  const std::int64_t value = static_cast<std::int64_t>(FileTimeValue(utc));
  if (!LocalFileTimeToUtc(utc, &shifted)) return "-";
  const std::int64_t local = value + (value - static_cast<std::int64_t>(FileTimeValue(shifted)));
  const std::int64_t seconds = local / kTicksPerSecond;
  // The civil date of a day count from 1970 (March-based years, 400-year eras).
  const std::int64_t days = seconds / 86400 - kDaysFrom1601To1970 + 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t dayOfEra = days - era * 146097;
  const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
  const std::int64_t day = dayOfYear - (153 * monthFromMarch + 2) / 5 + 1;
  const std::int64_t month = monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9;
  const std::int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  const std::int64_t second = seconds % 86400;
  char text[48];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", static_cast<unsigned>(year),
                static_cast<unsigned>(month), static_cast<unsigned>(day), static_cast<unsigned>(second / 3600),
                static_cast<unsigned>(second / 60 % 60), static_cast<unsigned>(second % 60));
  return text;
}

// A listed entry's remarks: the name as stored when the reader cleaned it, and why the release
// would refuse the entry.
std::string ListRemarks(ArchiveHandle handle, NameOwners& owners, std::int32_t index, ArchiveResult described,
                        const ArchiveEntryInfo& info) {
  std::string remarks;
  char16_t stored[kEntryNameCapacity];
  if (GetArchiveEntryStoredName(handle, index, stored) == ArchiveResult::Ok && std::u16string(stored) != info.name)
    remarks = "stored as \"" + Utf8(stored) + "\"";
  const char* refused = JudgeAndRemember(owners, index, described, info);
  if (refused == nullptr) return remarks;
  if (!remarks.empty()) remarks += "; ";
  return remarks + "refused: " + refused + NameEventDetail(handle, owners, index, refused, described, info);
}

}  // namespace

int RunList(const char16_t* archivePath, const char* password) {
  ArchiveCloser archive{OpenOrReport(archivePath, password)};
  if (archive.handle == nullptr) return 1;
  std::printf("entry\tattributes\tmodified (local time)\tcompressed\tsize\tname\tremarks\n");
  int unreadable = 0;
  const std::int32_t count = EntryCount(archive.handle);
  NameOwners owners;
  for (std::int32_t index = 0; index < count; ++index) {
    ArchiveEntryInfo info;
    const ArchiveResult described = GetArchiveEntry(archive.handle, index, &info);
    if (!Described(described)) {
      std::printf("%d\t-\t-\t-\t-\t%s\t%s\n", index, Utf8(info.name).c_str(),
                  NotDescribed(archive.handle, index).c_str());
      ++unreadable;
      continue;
    }
    const std::string remarks = ListRemarks(archive.handle, owners, index, described, info);
    std::printf("%d\t0x%02X\t%s\t%u\t%u\t%s%s%s\n", index, info.attributes, LocalTimeText(info.writeTime).c_str(),
                static_cast<unsigned>(info.compressedSize), static_cast<unsigned>(info.uncompressedSize),
                Utf8(info.name).c_str(), remarks.empty() ? "" : "\t", remarks.c_str());
  }
  std::fflush(stdout);
  if (unreadable > 0) std::fprintf(stderr, "ziptool: %s cannot be described\n", Entries(unreadable).c_str());
  return unreadable == 0 ? 0 : 1;
}

namespace {

// What the extraction reported, and a reader of the same archive to say more about an entry.
struct ExtractReports {
  ArchiveHandle archive = nullptr;
  NameOwners owners;  // filled at the first Duplicate Name
  bool ownersKnown = false;
  int notWritten = 0;   // entries
  bool failed = false;  // a report other than a hold
};

// What a report about the folder or the archive as a whole means.
const char* FolderEventMeaning(const char* event) {
  static const struct {
    const char* event;
    const char* meaning;
  } kMeanings[] = {
      {kUnzipUpdateNotApplied, "the update was cancelled: every file of the folder is as it was"},
      {kUnzipSwitchUndone, "an update that a crash interrupted was taken back first"},
      {kUnzipSwitchNotRepaired, "an update that a crash interrupted could not be taken back yet"},
      {kUnzipJournalSetAside, "the folder's journal named what no repair can act on, and was set aside"},
      {kUnzipFolderFailed, "the folder could not be created"},
      {kUnzipOpenFailed, "the archive cannot be read"},
      {kUnzipFileHeld, "another program held this file for a moment; it was waited for"},
  };
  for (const auto& known : kMeanings) {
    if (std::strcmp(known.event, event) == 0) return known.meaning;
  }
  return "";
}

// Why an entry was not written, beyond its event; the entry's name when the extraction had none.
std::string EntryEventDetail(ExtractReports& reports, std::int32_t index, const char* event, std::string* name) {
  if (reports.archive == nullptr) return std::string();
  ArchiveEntryInfo info;
  const ArchiveResult described = GetArchiveEntry(reports.archive, index, &info);
  if (std::strcmp(event, kUnzipUnreadable) == 0) {
    *name = Utf8(info.name);
    return NotDescribed(reports.archive, index).substr(std::strlen(kUnzipUnreadable));
  }
  if (std::strcmp(event, kUnzipDuplicateName) == 0 && !reports.ownersKnown) {
    // Judged again as the extraction did, to find the entry that took the name first.
    const std::int32_t count = EntryCount(reports.archive);
    for (std::int32_t other = 0; other < count; ++other) {
      ArchiveEntryInfo otherInfo;
      const ArchiveResult result = GetArchiveEntry(reports.archive, other, &otherInfo);
      if (Described(result)) JudgeAndRemember(reports.owners, other, result, otherInfo);
    }
    reports.ownersKnown = true;
  }
  return NameEventDetail(reports.archive, reports.owners, index, event, described, info);
}

// One line per entry on standard output: not written and why, or installed after another program
// held it. What concerns the whole archive or the folder goes to standard error.
void PrintReport(void* context, std::int32_t index, const char* event, const char16_t* name) {
  auto* reports = static_cast<ExtractReports*>(context);
  std::string shown = Utf8(name);
  // Not a failure: the folder's last version installed it and this archive lacks it.
  if (std::strcmp(event, kUnzipFileRemoved) == 0) {
    std::printf("-\t%s\tremoved: the last version installed it, this archive lacks it\n", shown.c_str());
    return;
  }
  const bool held = std::strcmp(event, kUnzipFileHeld) == 0;
  if (!held) reports->failed = true;
  if (index < 0) {
    const char* meaning = FolderEventMeaning(event);
    std::fprintf(stderr, "ziptool: %s: %s%s%s%s\n", event, shown.c_str(), *meaning != 0 ? " (" : "", meaning,
                 *meaning != 0 ? ")" : "");
    return;
  }
  if (held) {
    std::printf("%d\t%s\tinstalled after a hold\n", index, shown.c_str());
    return;
  }
  ++reports->notWritten;
  const std::string detail = EntryEventDetail(*reports, index, event, &shown);
  std::printf("%d\t%s\tnot written: %s%s\n", index, shown.c_str(), event, detail.c_str());
}

}  // namespace

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
  ExtractReports reports;
  reports.archive = describer.handle;
  UnzipCounts counts;
  UnzipReporter reporter;
  reporter.report = PrintReport;
  reporter.context = &reports;
  reporter.counts = &counts;
  const bool allWritten = UnzipToFolder(archivePath, folder, &reporter, password);
  // What the update did, in one line: all zero when it was not applied.
  std::printf("%s untouched, %u replaced, %u added; %u %s removed\n",
              Entries(static_cast<int>(counts.untouched)).c_str(), counts.replaced, counts.added, counts.removed,
              counts.removed == 1 ? "file" : "files");
  std::fflush(stdout);
  if (reports.notWritten > 0) std::fprintf(stderr, "ziptool: %s not written\n", Entries(reports.notWritten).c_str());
  // A file installed after a hold is installed: only the other reports fail the extraction.
  return allWritten || !reports.failed ? 0 : 1;
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
  if (!Described(described)) {
    const std::string why =
        described == ArchiveResult::BadArgument ? "no such entry" : NotDescribed(archive.handle, index);
    std::fprintf(stderr, "ziptool: entry %d: %s\n", index, why.c_str());
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
    std::fprintf(stderr, "ziptool: entry %d: %s\n", index, ReadEvent(result));
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
    const ArchiveResult described = GetArchiveEntry(archive.handle, index, &info);
    std::string why;
    if (Described(described)) {
      const ArchiveResult result =
          ReadEntryWhole(archive.handle, index, static_cast<std::uint32_t>(info.uncompressedSize), nullptr);
      if (result == ArchiveResult::Ok) continue;
      why = ReadEvent(result);
    } else {
      why = NotDescribed(archive.handle, index);
    }
    std::printf("%d\t%s\tnot read: %s\n", index, Utf8(info.name).c_str(), why.c_str());
    ++failures;
  }
  std::fflush(stdout);
  if (failures > 0) std::fprintf(stderr, "ziptool: %s not read whole\n", Entries(failures).c_str());
  return failures == 0 ? 0 : 1;
}
