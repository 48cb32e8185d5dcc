#include "deploy/unzip_folder.h"

#include "archive/archive_reader.h"
#include "platform/file_system.h"

namespace {

constexpr std::uint32_t kSuffixLength = sizeof kUnzipTemporarySuffix / sizeof kUnzipTemporarySuffix[0] - 1;

// State of one unpacking: the open archive, where reports go, and the buffers every entry reuses.
struct Unpacking {
  ArchiveHandle archive = nullptr;
  const UnzipReporter* reporter = nullptr;
  // target[0, folderLength) is the folder with its separator; each entry's name follows it.
  char16_t target[kEntryPathCapacity];
  char16_t temporary[kEntryPathCapacity];
  std::uint32_t folderLength = 0;
  // The subfolders of the last entry that lay in one, held while entries are written into them:
  // target[0, heldEnd) as it was then.
  HeldFolders held;
  char16_t heldPath[kEntryPathCapacity];
  std::uint32_t heldEnd = 0;
  unsigned char chunk[kUnzipChunkSize];
};

bool Report(const Unpacking& unpacking, std::int32_t index, const char* event, const char16_t* name) {
  const UnzipReporter* reporter = unpacking.reporter;
  if (reporter != nullptr && reporter->report != nullptr) reporter->report(reporter->context, index, event, name);
  return false;
}

// Copies folder and a separator into target; false when no name would fit after it.
bool SetFolder(Unpacking& unpacking, const char16_t* folder) {
  std::uint32_t length = 0;
  for (; folder[length] != 0; ++length) {
    if (length + 2 >= kEntryPathCapacity) return false;
    unpacking.target[length] = folder[length];
  }
  if (length > 0 && !IsPathSeparator(unpacking.target[length - 1])) unpacking.target[length++] = u'\\';
  unpacking.target[length] = 0;
  unpacking.folderLength = length;
  return true;
}

// target = folder + name, leaving room for reserve more characters; its length, or 0 when the
// whole does not fit.
std::uint32_t AppendName(Unpacking& unpacking, const char16_t* name, std::uint32_t reserve) {
  std::uint32_t length = unpacking.folderLength;
  for (; *name != 0; ++name) {
    if (length + reserve + 1 >= kEntryPathCapacity) return 0;
    unpacking.target[length++] = *name;
  }
  if (length + reserve >= kEntryPathCapacity) return 0;
  unpacking.target[length] = 0;
  return length;
}

const char* ReadFailureEvent(ArchiveResult result) {
  if (result == ArchiveResult::Corrupt) return kUnzipDataCorrupt;
  if (result == ArchiveResult::PasswordMismatch) return kUnzipPasswordMismatch;
  return kUnzipReadFailed;
}

// Moves the entry's data from the reader into file, never more than the reader delivered: a
// MoreData answer is a full chunk; Ok means the entry held exactly its directory size, so the last
// chunk is what remains of it. Answers the failure's event, or null when the whole entry arrived.
// An empty entry is asked for too: the reader checks its CRC-32, its encryption header and its
// method's empty data, so a damaged entry whose size reads 0 is not installed as an empty file.
const char* CopyEntryData(Unpacking& unpacking, std::int32_t index, std::uint32_t size, PlatformFile file) {
  std::uint32_t written = 0;
  for (;;) {
    const ArchiveResult result = ExtractEntryToMemory(unpacking.archive, index, unpacking.chunk, kUnzipChunkSize);
    if (result != ArchiveResult::MoreData && result != ArchiveResult::Ok) return ReadFailureEvent(result);
    const std::uint32_t left = size - written;
    // A reader that disagreed with the directory's size would make the chunk size a guess.
    if (result == ArchiveResult::MoreData ? left <= kUnzipChunkSize : left > kUnzipChunkSize) return kUnzipDataCorrupt;
    const std::uint32_t chunk = result == ArchiveResult::MoreData ? kUnzipChunkSize : left;
    if (chunk > 0 && !WriteToFile(file, unpacking.chunk, chunk)) return kUnzipWriteFailed;
    written += chunk;
    if (result == ArchiveResult::Ok) return nullptr;
  }
}

// The target's last separator after the folder, or 0 when the entry lies in the folder itself.
std::uint32_t SubfolderEnd(const Unpacking& unpacking, std::uint32_t length) {
  for (std::uint32_t i = length; i > unpacking.folderLength; --i) {
    if (IsPathSeparator(unpacking.target[i - 1])) return i - 1;
  }
  return 0;
}

// Holds target[folderLength, end), each folder created where missing; entries of one folder in a
// row check it once. Answers the failure's event, or null.
const char* HoldSubfolders(Unpacking& unpacking, std::uint32_t end) {
  bool same = end == unpacking.heldEnd;
  for (std::uint32_t i = 0; same && i < end; ++i) same = unpacking.heldPath[i] == unpacking.target[i];
  if (same) return nullptr;
  unpacking.held.Clear();
  unpacking.heldEnd = 0;
  if (end >= kEntryFolderCapacity) return kUnzipPathTooLong;
  const FolderHold result = HoldFolders(unpacking.target, unpacking.folderLength, end, true, unpacking.held);
  if (result != FolderHold::Held) {
    unpacking.held.Clear();
    return result == FolderHold::Link ? kUnzipLinkRefused : kUnzipFolderFailed;
  }
  for (std::uint32_t i = 0; i < end; ++i) unpacking.heldPath[i] = unpacking.target[i];
  unpacking.heldEnd = end;
  return nullptr;
}

// The temporary file, new: one that a crashed run left, or a link of that name, is removed first
// (the name, never what a link leads to).
PlatformFile CreateTemporary(const Unpacking& unpacking) {
  PlatformFile file = CreateNewFile(unpacking.temporary, kAttributeNormal);
  if (IsValidPlatformFile(file) || !DeletePlainFile(unpacking.temporary)) return file;
  return CreateNewFile(unpacking.temporary, kAttributeNormal);
}

bool InstallFile(Unpacking& unpacking, std::int32_t index, const ArchiveEntryInfo& info, std::uint32_t length) {
  for (std::uint32_t i = 0; i < length; ++i) unpacking.temporary[i] = unpacking.target[i];
  for (std::uint32_t i = 0; i <= kSuffixLength; ++i) unpacking.temporary[length + i] = kUnzipTemporarySuffix[i];

  const std::uint32_t subfolderEnd = SubfolderEnd(unpacking, length);
  const char* folderFailure = subfolderEnd != 0 ? HoldSubfolders(unpacking, subfolderEnd) : nullptr;
  if (folderFailure != nullptr) return Report(unpacking, index, folderFailure, info.name);
  ScopedPlatformFile file(CreateTemporary(unpacking));
  if (!file.IsValid()) return Report(unpacking, index, kUnzipCreateFailed, info.name);

  const char* failure = CopyEntryData(unpacking, index, static_cast<std::uint32_t>(info.uncompressedSize), file.Get());
  // On the disk before it takes the target's name, so that a power cut leaves the old file or the
  // new one, never a new name on missing bytes.
  if (failure == nullptr && !FlushFile(file.Get())) failure = kUnzipWriteFailed;
  if (failure != nullptr) Report(unpacking, index, failure, info.name);
  file.Reset();
  if (failure == nullptr && MoveFileOver(unpacking.temporary, unpacking.target)) return true;
  if (failure == nullptr) Report(unpacking, index, kUnzipMoveFailed, info.name);
  DeletePlainFile(unpacking.temporary);
  return false;
}

// Whether name ends in the temporary suffix (ASCII letters in any case, as Windows compares names).
bool HasTemporarySuffix(const char16_t* name, std::uint32_t length) {
  if (length < kSuffixLength) return false;
  for (std::uint32_t i = 0; i < kSuffixLength; ++i) {
    char16_t c = name[length - kSuffixLength + i];
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    if (c != kUnzipTemporarySuffix[i]) return false;
  }
  return true;
}

bool InstallEntry(Unpacking& unpacking, std::int32_t index) {
  ArchiveEntryInfo info;
  const ArchiveResult described = GetArchiveEntry(unpacking.archive, index, &info);
  if (described == ArchiveResult::NameTooLong) return Report(unpacking, index, kUnzipRefusedName, info.name);
  if (described != ArchiveResult::Ok) return Report(unpacking, index, kUnzipUnreadable, u"");
  // The reader's clean-up of names keeps parent steps such as "../x": those would leave the folder.
  if (!EntryNameIsSafe(info.name)) return Report(unpacking, index, kUnzipRefusedName, info.name);

  std::uint32_t nameLength = 0;
  while (info.name[nameLength] != 0) ++nameLength;
  // "x.qvtmp" is the temporary file of entry "x", whose install would overwrite it and move it away.
  if (HasTemporarySuffix(info.name, nameLength)) return Report(unpacking, index, kUnzipRefusedName, info.name);
  const bool isFolder = EntryIsFolder(info);
  const std::uint32_t length = AppendName(unpacking, info.name, isFolder ? 0 : kSuffixLength);
  if (length == 0) return Report(unpacking, index, kUnzipPathTooLong, info.name);
  if (!isFolder) return InstallFile(unpacking, index, info, length);

  std::uint32_t end = length;
  while (end > unpacking.folderLength && IsPathSeparator(unpacking.target[end - 1])) --end;
  const char* folderFailure = end > unpacking.folderLength ? HoldSubfolders(unpacking, end) : nullptr;
  if (folderFailure != nullptr) return Report(unpacking, index, folderFailure, info.name);
  return true;
}

}  // namespace

bool UnzipToFolder(const char16_t* archivePath, const char16_t* folder, const UnzipReporter* reporter,
                   const char* password) {
  Unpacking unpacking;
  unpacking.reporter = reporter;
  if (archivePath == nullptr || folder == nullptr) return Report(unpacking, -1, kUnzipOpenFailed, u"");
  // Opened before the folder is made: an archive that cannot be read leaves no trace at all.
  unpacking.archive = OpenArchive(archivePath, password);
  if (unpacking.archive == nullptr) return Report(unpacking, -1, kUnzipOpenFailed, archivePath);

  // Like every other report, a folder that cannot be made means not everything was installed,
  // even when the archive has no entry that would notice.
  bool allInstalled = true;
  if (GetPathAttributes(folder) == kInvalidAttributes && !CreateOneFolder(folder))
    allInstalled = Report(unpacking, -1, kUnzipFolderFailed, folder);
  // A folder with no room for names makes every entry's path too long; each is reported.
  if (!SetFolder(unpacking, folder)) unpacking.folderLength = kEntryPathCapacity;

  ArchiveEntryInfo counted;
  GetArchiveEntry(unpacking.archive, -1, &counted);
  for (std::int32_t index = 0; index < counted.index; ++index) {
    if (!InstallEntry(unpacking, index)) allInstalled = false;
  }
  CloseArchive(unpacking.archive);
  return allInstalled;
}
