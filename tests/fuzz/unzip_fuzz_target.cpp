// Fuzz target over the folder extraction: the input is unpacked into a fresh folder, and then
//   - nothing exists beside that folder (no name escaped it, however it was spelt);
//   - no temporary file is left anywhere below it;
//   - every file below it holds exactly the data of an entry of that name, whole and verified by
//     the reader: a damaged entry is never installed;
//   - every entry that reads whole under a safe name and was not reported is there: nothing is
//     lost in silence;
//   - a run that answers "all installed" reported nothing, and every report has a known event;
//   - every file entry that reads whole is sound by the archive's own bytes, parsed here without the
//     reader: its local header sits at the record's offset under the record's name, and its bytes
//     (local header to data end) lie before the directory and share none with another entry's.
// As in the reader's target, the archive's last byte picks a variant:
//   bit 0  the folder exists before the run (else the extraction creates it)
//   bit 1  the folder already holds files and folders with the names of the first entries
//   bit 2  also extract every entry with ExtractEntry to a path below a second folder
//   bit 3  with the password "secret" (the release itself gives none)
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "archive/archive_reader.h"
#include "deploy/unzip_folder.h"
#include "fuzz_check.h"
#include "fuzz_scratch.h"
#include "platform/text_encoding.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxInput = 1u << 20;
// Declared sizes bound what an extraction writes; beyond this the input only costs disk time.
constexpr std::uint64_t kMaxDeclaredTotal = 16u << 20;
constexpr char kOldContents[] = "old contents";

std::string Utf8(const char16_t* text) {
  char buffer[4 * kEntryNameCapacity];
  const int n = Utf16ToUtf8(text, -1, buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n - 1)) : std::string();
}

// The path below the folder that a name lands on: "\" and "/" both separate, empty and "."
// components vanish.
std::string Landing(const std::string& name) {
  std::string path, component;
  const auto flush = [&path, &component] {
    if (!component.empty() && component != ".") path += (path.empty() ? "" : "/") + component;
    component.clear();
  };
  for (const char c : name) {
    if (c == '/' || c == '\\')
      flush();
    else
      component += c;
  }
  flush();
  return path;
}

std::uint32_t Le(const std::uint8_t* p, int bytes) {
  std::uint32_t value = 0;
  for (int k = bytes; k-- > 0;) value = (value << 8) | p[k];
  return value;
}

// The bytes each directory record's entry spans, by index; start == end where its local header
// is missing or disagrees with the record (name, method, and CRC-32 and sizes unless a data
// descriptor holds them), so that it claims no bytes, or where the entry runs into the directory. Empty when the
// directory cannot be walked over the end record's count.
struct Span {
  std::uint64_t start = 0, end = 0;
};
std::vector<Span> EntrySpans(const std::uint8_t* data, std::size_t size) {
  std::size_t at = size;  // the end record nearest the end, with room for all of it
  for (std::size_t k = size >= 22 ? size - 22 + 1 : 0; k-- > 0 && size - k <= 65535 + 22;) {
    if (std::memcmp(data + k, "PK\x05\x06", 4) == 0) {
      at = k;
      break;
    }
  }
  if (at == size) return {};
  const bool zip64 = at >= 76 && std::memcmp(data + at - 76, "PK\x06\x06", 4) == 0 &&
                     std::memcmp(data + at - 20, "PK\x06\x07", 4) == 0;
  const std::uint64_t count = Le(data + at + 10, 2), length = Le(data + at + 12, 4), offset = Le(data + at + 16, 4);
  const std::uint64_t directoryEnd = at - (zip64 ? 76 : 0);
  if (directoryEnd < offset + length) return {};
  const std::uint64_t prefix = directoryEnd - offset - length;
  std::vector<Span> spans;
  for (std::uint64_t position = offset + prefix, i = 0; i < count; ++i) {
    if (position + 46 > directoryEnd || std::memcmp(data + position, "PK\x01\x02", 4) != 0) return {};
    const std::uint8_t* record = data + position;
    const std::uint32_t nameLength = Le(record + 28, 2);
    position += 46 + nameLength + Le(record + 30, 2) + Le(record + 32, 2);
    if (position > directoryEnd) return {};
    const std::uint64_t header = Le(record + 42, 4) + prefix;
    Span span;
    if (header + 30 + nameLength <= size && std::memcmp(data + header, "PK\x03\x04", 4) == 0 &&
        Le(data + header + 26, 2) == nameLength && std::memcmp(data + header + 30, record + 46, nameLength) == 0 &&
        Le(data + header + 8, 2) == Le(record + 10, 2) &&
        ((data[header + 6] & 8) != 0 || std::memcmp(data + header + 14, record + 16, 12) == 0)) {
      const std::uint64_t end = header + 30 + nameLength + Le(data + header + 28, 2) + Le(record + 20, 4);
      if (end <= offset + prefix) span = {header, end};
    }
    spans.push_back(span);
  }
  return spans;
}

// True when entry i's span exists and overlaps no other entry's.
bool SpanIsSound(const std::vector<Span>& spans, std::size_t i) {
  if (i >= spans.size() || spans[i].start == spans[i].end) return false;
  return std::none_of(spans.begin(), spans.end(), [&](const Span& other) {
    return &other != &spans[i] && other.start != other.end && other.start < spans[i].end && spans[i].start < other.end;
  });
}

struct Reports {
  std::vector<std::string> events;
  bool cancelled = false;          // the update was not applied: every file is as it was
  std::set<std::int32_t> entries;  // the numbers of the entries reported
};

void Collect(void* context, std::int32_t index, const char* event, const char16_t* name) {
  static const char* const kKnown[] = {
      kUnzipOpenFailed,       kUnzipFolderFailed, kUnzipUnreadable,   kUnzipRefusedName,     kUnzipNameNotUtf8,
      kUnzipDuplicateName,    kUnzipPathTooLong,  kUnzipCreateFailed, kUnzipWriteFailed,     kUnzipDataCorrupt,
      kUnzipPasswordMismatch, kUnzipReadFailed,   kUnzipMoveFailed,   kUnzipUpdateNotApplied};
  bool known = false;
  for (const char* k : kKnown) known = known || (event != nullptr && std::strcmp(event, k) == 0);
  FUZZ_CHECK(known);
  FUZZ_CHECK(name != nullptr);
  FUZZ_CHECK(index >= -1 && index < 0xFFFF);
  static_cast<Reports*>(context)->events.push_back(event);
  if (std::strcmp(event, kUnzipUpdateNotApplied) == 0) static_cast<Reports*>(context)->cancelled = true;
  static_cast<Reports*>(context)->entries.insert(index);
}

// An entry the extraction must install: it reads whole and its name stays in the folder.
struct Installable {
  std::int32_t index;
  std::string landing;
  bool isFolder;
};

// Every entry's verified data by the path it lands on; entries that do not read whole are left out.
std::multimap<std::string, std::string> VerifiedEntries(const char16_t* archivePath, const char* password,
                                                        const std::vector<Span>& spans, std::uint64_t* declared,
                                                        std::vector<Installable>* installable) {
  std::multimap<std::string, std::string> entries;
  *declared = 0;
  ArchiveHandle handle = OpenArchive(archivePath, password);
  if (handle == nullptr) return entries;
  ArchiveEntryInfo info;
  GetArchiveEntry(handle, -1, &info);
  const std::int32_t count = info.index;
  std::vector<unsigned char> chunk(kUnzipChunkSize);
  for (std::int32_t i = 0; i < count; ++i) {
    if (GetArchiveEntry(handle, i, &info) != ArchiveResult::Ok) continue;
    const auto size = static_cast<std::uint32_t>(info.uncompressedSize);
    *declared += size;
    if (*declared > kMaxDeclaredTotal) break;
    std::string data;
    ArchiveResult result = ArchiveResult::MoreData;  // empty entries are checked too
    while (result == ArchiveResult::MoreData) {
      result = ExtractEntryToMemory(handle, i, chunk.data(), kUnzipChunkSize);
      const std::size_t n = result == ArchiveResult::MoreData ? kUnzipChunkSize : size - data.size();
      if (result == ArchiveResult::MoreData || result == ArchiveResult::Ok)
        data.append(reinterpret_cast<const char*>(chunk.data()), n);
    }
    if (result != ArchiveResult::Ok) continue;
    if (!EntryIsFolder(info) && !SpanIsSound(spans, static_cast<std::size_t>(i)))
      std::fprintf(stderr, "entry %d reads whole, but its bytes are unsound\n", i);
    FUZZ_CHECK(EntryIsFolder(info) || SpanIsSound(spans, static_cast<std::size_t>(i)));
    const std::string name = Utf8(info.name);
    entries.emplace(Landing(name), data);
    if (EntryNameIsSafe(info.name)) installable->push_back({i, Landing(name), EntryIsFolder(info)});
  }
  CloseArchive(handle);
  return entries;
}

std::string Contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Every regular file below folder holds the data of a verified entry that lands on its path, and
// nothing but files and folders is there.
void CheckInstalled(const fs::path& folder, const std::multimap<std::string, std::string>& entries,
                    const std::set<std::string>& preexisting) {
  std::error_code error;
  for (fs::recursive_directory_iterator it(folder, error), end; it != end; it.increment(error)) {
    FUZZ_CHECK(!error);
    const fs::file_status status = it->symlink_status();
    FUZZ_CHECK(fs::is_directory(status) || fs::is_regular_file(status));
    if (!fs::is_regular_file(status)) continue;
    const std::string relative = fs::relative(it->path(), folder).generic_string();
    const std::string data = Contents(it->path());
    if (preexisting.count(relative) != 0 && data == kOldContents) continue;  // not replaced
    if (relative == "Quorvane.qvrecord") continue;                           // the tool's own
    bool matches = false;
    const auto range = entries.equal_range(relative);
    for (auto entry = range.first; entry != range.second && !matches; ++entry) matches = entry->second == data;
    // A temporary file left behind would show here too: no entry has its name and data.
    if (!matches) std::fprintf(stderr, "installed file %s matches no verified entry\n", relative.c_str());
    FUZZ_CHECK(matches);
  }
}

std::vector<std::string> Listing(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) names.push_back(entry.path().filename());
  return names;
}

// Files and folders with the names of the first entries, so that replacing and folder creation
// meet something already there.
std::set<std::string> Prepopulate(const fs::path& folder, const std::multimap<std::string, std::string>& entries) {
  std::set<std::string> made;
  int n = 0;
  for (const auto& entry : entries) {
    if (n >= 3) break;
    // Only names that stay below the folder: the preparation must not escape it itself.
    if (entry.first.empty() || (entry.first + "/").find("../") != std::string::npos) continue;
    ++n;
    std::error_code error;
    const fs::path path = folder / entry.first;
    if (!fs::create_directories(path.parent_path(), error) && error) continue;
    if ((n & 1) != 0) {
      std::ofstream(path, std::ios::binary) << kOldContents;
      made.insert(entry.first);
    } else {
      fs::create_directory(path, error);
    }
  }
  return made;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput) return 0;
  const std::uint8_t variant = size > 0 ? data[size - 1] : 0;
  ScratchFile archive;
  if (!archive.Write(nullptr, 0, data, size)) return 0;
  const char* const password = (variant & 8) != 0 ? "secret" : nullptr;
  std::uint64_t declared = 0;
  std::vector<Installable> installable;
  const auto entries = VerifiedEntries(archive.Path(), password, EntrySpans(data, size), &declared, &installable);
  if (declared > kMaxDeclaredTotal) return 0;

  const fs::path sandbox = fs::path(ScratchRoot()) / "sandbox";
  const fs::path folder = sandbox / "out";
  RemoveTreeAt(sandbox.string());
  fs::create_directory(sandbox);
  std::set<std::string> preexisting;
  if ((variant & 3) != 0) fs::create_directory(folder);
  if ((variant & 2) != 0) preexisting = Prepopulate(folder, entries);

  Reports reports;
  UnzipReporter reporter;
  reporter.report = Collect;
  reporter.context = &reports;
  const std::u16string folderPath = ToUtf16(folder.string());
  const bool allInstalled = UnzipToFolder(archive.Path(), folderPath.c_str(), &reporter, password);
  FUZZ_CHECK(!allInstalled || reports.events.empty());
  FUZZ_CHECK(allInstalled || !reports.events.empty());

  const std::vector<std::string> beside = Listing(sandbox);
  FUZZ_CHECK(beside.empty() || (beside.size() == 1 && beside[0] == "out"));
  std::vector<std::string> root = Listing(ScratchRoot());
  FUZZ_CHECK(root.size() == 2);  // the input archive and the sandbox
  // Cancelled, nothing of the archive is there; else every entry is installed or reported.
  if (fs::exists(folder)) CheckInstalled(folder, reports.cancelled ? decltype(entries)() : entries, preexisting);
  for (const Installable& entry : installable) {
    if (reports.cancelled || reports.entries.count(entry.index) != 0) continue;
    const fs::file_status status = fs::symlink_status(folder / entry.landing);
    const bool there = entry.isFolder ? fs::is_directory(status) : fs::is_regular_file(status);
    if (!there)
      std::fprintf(stderr, "entry %d (%s) neither installed nor reported\n", entry.index, entry.landing.c_str());
    FUZZ_CHECK(there);
  }
  if (!reports.cancelled && fs::exists(folder) && (variant & 16) != 0) {
    // The same archive again over what it installed: every file is already right.
    UnzipCounts counts;
    Reports again;
    UnzipReporter second{Collect, &again, &counts};
    UnzipToFolder(archive.Path(), folderPath.c_str(), &second, password);
    if (counts.replaced + counts.added + counts.removed != 0)
      std::fprintf(stderr, "again: %u replaced, %u added, %u removed\n", counts.replaced, counts.added, counts.removed);
    FUZZ_CHECK(!again.cancelled && counts.replaced + counts.added + counts.removed == 0);
  }

  if ((variant & 4) != 0) {
    // The reader's own file extraction keeps to its folder too.
    const fs::path second = sandbox / "paths";
    fs::create_directory(second);
    ArchiveHandle handle = OpenArchive(archive.Path(), password);
    if (handle != nullptr) {
      ArchiveEntryInfo info;
      GetArchiveEntry(handle, -1, &info);
      for (std::int32_t i = 0, count = info.index; i < count; ++i) {
        if (GetArchiveEntry(handle, i, &info) != ArchiveResult::Ok) continue;
        const std::u16string target = ToUtf16(second.string() + "/") + info.name;
        ExtractEntry(handle, i, const_cast<char16_t*>(target.c_str()), 0, kTargetFilePath);
      }
      CloseArchive(handle);
    }
    const std::vector<std::string> now = Listing(sandbox);
    FUZZ_CHECK(now.size() <= 2);
    CheckInstalled(second, entries, {});
  }
  RemoveTreeAt(sandbox.string());
  return 0;
}
