#include "deploy/unzip_folder.h"

#include <algorithm>
#include <string>
#include <unordered_set>
#include <utility>

#include "archive/archive_reader.h"
#include "deploy/file_content.h"
#include "deploy/folder_switch.h"
#include "deploy/switch_paths.h"
#include "platform/file_system.h"

namespace {

static_assert(kUnzipTemporarySuffixLength <= kUnzipLongestSuffix,
              "a staged file's name must fit where its target's does");

// State of one unpacking: the open archive, where reports go, and the buffers every entry reuses.
struct Unpacking {
  ArchiveHandle archive = nullptr;
  const UnzipReporter* reporter = nullptr;
  EntryNames names;
  SwitchPlan plan;          // the staged files, and the folders made for them
  StagingJournal staging;   // names each staged file and made folder before it exists
  InstallRecord installed;  // what the last release installed, as the folder's record says
  bool cancelled = false;   // an entry could not be staged: nothing is switched
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
  return ReportTo(unpacking.reporter, index, event, name);
}

// An entry that should be installed and cannot be staged: the update as a whole is off.
bool Cancel(Unpacking& unpacking, std::int32_t index, const char* event, const char16_t* name) {
  unpacking.cancelled = true;
  unpacking.staging.holds.retry = false;  // the update is off: waiting for the next file gains nothing
  return Report(unpacking, index, event, name);
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

// The folders of target[folderLength, end) that do not exist yet, outermost first, each noted in
// the journal before it is made: a cancelled update, or the next run after a crash, removes them
// again. False when the journal cannot take them.
bool RecordMissingFolders(Unpacking& unpacking, std::uint32_t end) {
  for (std::uint32_t i = unpacking.folderLength + 1; i <= end; ++i) {
    if (i < end && !IsPathSeparator(unpacking.target[i])) continue;
    const char16_t kept = unpacking.target[i];
    unpacking.target[i] = 0;
    const std::uint32_t attributes = GetPathAttributes(unpacking.target);
    unpacking.target[i] = kept;
    // Below a link or a file nothing is made (the hold refuses it): nothing there is noted either,
    // so that no journal names a folder the update could never have made.
    const bool plainFolder = (attributes & (kAttributeDirectory | kAttributeReparsePoint)) == kAttributeDirectory;
    if (attributes != kInvalidAttributes && !plainFolder) return true;
    if (attributes != kInvalidAttributes) continue;
    std::u16string made(unpacking.target + unpacking.folderLength, unpacking.target + i);
    if (!NoteStaging(unpacking.staging, kNoteMadeFolder, made)) return false;
    unpacking.plan.createdFolders.push_back(std::move(made));
  }
  return true;
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
  if (!RecordMissingFolders(unpacking, end)) return kUnzipFolderFailed;
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
PlatformFile CreateTemporary(Unpacking& unpacking, std::int32_t index, const char16_t* name) {
  PlatformFile file = CreateHeldFile(unpacking.staging.holds, index, name, unpacking.temporary);
  if (IsValidPlatformFile(file) || !DeleteHeldFile(unpacking.staging.holds, index, name, unpacking.temporary))
    return file;
  return CreateHeldFile(unpacking.staging.holds, index, name, unpacking.temporary);
}

// Whether a part of target[folderLength, length) that exists is stored under another name: Windows
// also finds a file or folder by its short 8.3 name, which would replace another file
// ("QUORVA~1.EXE" for "QuorvaneSoftware.exe") or write below another folder.
bool FoundUnderAnotherName(Unpacking& unpacking, std::uint32_t length) {
  char16_t stored[kEntryPathCapacity];
  for (std::uint32_t start = unpacking.folderLength, i = start; i <= length; ++i) {
    if (i < length && !IsPathSeparator(unpacking.target[i])) continue;
    const char16_t kept = unpacking.target[i];
    unpacking.target[i] = 0;
    const std::uint32_t storedLength = GetStoredName(unpacking.target, stored, kEntryPathCapacity);
    unpacking.target[i] = kept;
    if (storedLength == 0) return false;  // missing: made under the entry's own names from here on
    if (!IsSameFileName(unpacking.target + start, i - start, stored, storedLength)) return true;
    start = i + 1;
  }
  return false;
}

// The entry's data into a new file: its staged file, or its target where nothing stood.
bool WriteNewFile(Unpacking& unpacking, std::int32_t index, const ArchiveEntryInfo& info, PlatformFile created) {
  ScopedPlatformFile file(created);
  if (!file.IsValid()) return Cancel(unpacking, index, kUnzipCreateFailed, info.name);
  const char* failure = CopyEntryData(unpacking, index, static_cast<std::uint32_t>(info.uncompressedSize), file.Get());
  return failure == nullptr || Cancel(unpacking, index, failure, info.name);
}

// Where nothing stands at the target, the entry is written there at once: a rename per file would
// cost a new file more than its writing. Its own journal line comes first, so a cancel, a failed
// switch or the repair after a crash removes it (once created it is in the plan, whether or not
// its data arrived); one that cannot be created (a file appeared at its name meanwhile) is not the
// update's and is never removed.
bool AddFile(Unpacking& unpacking, std::int32_t index, const ArchiveEntryInfo& info) {
  if (!NoteStaging(unpacking.staging, kNoteAddedFile, info.name))
    return Cancel(unpacking, index, kUnzipCreateFailed, info.name);
  const PlatformFile created = CreateHeldFile(unpacking.staging.holds, index, info.name, unpacking.target);
  if (!IsValidPlatformFile(created)) return Cancel(unpacking, index, kUnzipCreateFailed, info.name);
  unpacking.plan.files.push_back(StagedFile{std::u16string(info.name), false, index, FileChange::Added});
  return WriteNewFile(unpacking, index, info, created);
}

// The entry's data into its staged file beside the target; the target itself is not touched.
// Flushing waits for the switch, which flushes every staged file in one go.
bool StageFile(Unpacking& unpacking, std::int32_t index, const ArchiveEntryInfo& info, std::uint32_t length) {
  if (FoundUnderAnotherName(unpacking, length)) return Report(unpacking, index, kUnzipDuplicateName, info.name);
  for (std::uint32_t i = 0; i < length; ++i) unpacking.temporary[i] = unpacking.target[i];
  for (std::uint32_t i = 0; i <= kUnzipTemporarySuffixLength; ++i)
    unpacking.temporary[length + i] = kUnzipTemporarySuffix[i];

  const std::uint32_t subfolderEnd = SubfolderEnd(unpacking, length);
  // A link on the way (a folder the user moved elsewhere) would leave the entry's old file beside
  // the new version's others: the update as a whole waits until the folder is plain again.
  const char* folderFailure = subfolderEnd != 0 ? HoldSubfolders(unpacking, subfolderEnd) : nullptr;
  if (folderFailure != nullptr) return Cancel(unpacking, index, folderFailure, info.name);
  std::uint32_t crc = 0;
  if (GetArchiveEntryCrc(unpacking.archive, index, &crc) != ArchiveResult::Ok)
    return Cancel(unpacking, index, kUnzipUnreadable, info.name);
  const auto size = static_cast<std::uint32_t>(info.uncompressedSize);
  unpacking.plan.record.files.push_back(RecordedFile{std::u16string(info.name), size, crc});
  const std::uint32_t attributes = GetPathAttributes(unpacking.target);
  if (attributes == kInvalidAttributes) return AddFile(unpacking, index, info);
  // Already right: left as it is, with its times and attributes. One that cannot be read now is
  // replaced, as every file was before.
  if (CheckFileContent(unpacking.target, attributes, size, crc, unpacking.chunk, kUnzipChunkSize) ==
      FileContent::Same) {
    ++unpacking.plan.untouched;
    return true;
  }
  // A staged file that its journal could not name first is not created.
  if (!NoteStaging(unpacking.staging, kNoteStagedFile, info.name))
    return Cancel(unpacking, index, kUnzipCreateFailed, info.name);
  if (!WriteNewFile(unpacking, index, info, CreateTemporary(unpacking, index, info.name))) {
    DeleteHeldFile(unpacking.staging.holds, index, info.name, unpacking.temporary);  // else the journal names it
    return false;
  }
  unpacking.plan.files.push_back(StagedFile{std::u16string(info.name), false, index});
  return true;
}

bool InstallEntry(Unpacking& unpacking, std::int32_t index) {
  ArchiveEntryInfo info;
  const ArchiveResult described = GetArchiveEntry(unpacking.archive, index, &info);
  if (described != ArchiveResult::Ok && described != ArchiveResult::NameTooLong &&
      described != ArchiveResult::NameNotUtf8) {
    return Cancel(unpacking, index, kUnzipUnreadable, u"");
  }
  const char* refused = JudgeEntryName(unpacking.names, described, info);
  if (refused != nullptr) return Report(unpacking, index, refused, info.name);

  const bool isFolder = EntryIsFolder(info);
  const std::uint32_t length = AppendName(unpacking, info.name, isFolder ? 0 : kUnzipLongestSuffix);
  if (length == 0) return Cancel(unpacking, index, kUnzipPathTooLong, info.name);
  if (!isFolder) return StageFile(unpacking, index, info, length);

  std::uint32_t end = length;
  while (end > unpacking.folderLength && IsPathSeparator(unpacking.target[end - 1])) --end;
  const char* folderFailure = end > unpacking.folderLength ? HoldSubfolders(unpacking, end) : nullptr;
  if (folderFailure != nullptr) return Cancel(unpacking, index, folderFailure, info.name);
  return true;
}

// Outermost first: a folder's name is shorter than any name inside it, so removing in reverse
// meets every folder after what it holds.
void SortOutermostFirst(std::vector<std::u16string>* folders) {
  std::stable_sort(folders->begin(), folders->end(),
                   [](const std::u16string& a, const std::u16string& b) { return a.size() < b.size(); });
}

// The files the last release installed that this archive lacks, and that still hold exactly what
// was installed: they are set aside by the switch and go with the update. One that cannot be
// read now stays in the record, for a later update to judge.
void PlanDroppedFiles(Unpacking& unpacking) {
  ParentHold hold;
  for (const RecordedFile& file : unpacking.installed.files) {
    const std::u16string folded = FoldedEntryName(file.name.c_str());
    if (unpacking.names.files.count(folded) != 0 || unpacking.names.folders.count(folded) != 0) continue;
    const FolderHold held = HoldParents(hold, unpacking.staging.folder, file.name);
    if (held == FolderHold::Missing || held == FolderHold::Link) continue;
    const std::u16string path = PathOf(unpacking.staging.folder, file.name);
    const FileContent content = held == FolderHold::Held
                                    ? CheckFileContent(path.c_str(), GetPathAttributes(path.c_str()), file.size,
                                                       file.crc, unpacking.chunk, kUnzipChunkSize)
                                    : FileContent::NotNow;
    if (content == FileContent::Same)
      unpacking.plan.files.push_back(StagedFile{file.name, true, -1, FileChange::Dropped});
    if (content == FileContent::NotNow) unpacking.plan.record.files.push_back(file);
  }
}

// The folders of the new record: those releases made that the new version still has, and those
// this update made; the others go once they are empty.
void PlanRecordedFolders(Unpacking& unpacking) {
  std::unordered_set<std::u16string> known;
  std::vector<std::u16string>& recorded = unpacking.plan.record.folders;
  for (const std::u16string& folder : unpacking.installed.folders) {
    const std::u16string folded = FoldedEntryName(folder.c_str());
    if (unpacking.names.folders.count(folded) == 0) {
      unpacking.plan.droppedFolders.push_back(folder);
    } else if (known.insert(folded).second) {
      recorded.push_back(folder);
    }
  }
  for (const std::u16string& folder : unpacking.plan.createdFolders) {
    if (known.insert(FoldedEntryName(folder.c_str())).second) recorded.push_back(folder);
  }
  SortOutermostFirst(&recorded);
  SortOutermostFirst(&unpacking.plan.droppedFolders);
}

// Reads the folder's record; false when there is none to go by (none, damaged, not ours, held):
// then nothing is removed, and the update writes a new one.
bool ReadLastRecord(Unpacking& unpacking, const char16_t* folder) {
  return ReadInstallRecord(unpacking.staging.holds, folder, &unpacking.installed) == WholeRead::Read;
}

}  // namespace

bool UnzipToFolder(const char16_t* archivePath, const char16_t* folder, const UnzipReporter* reporter,
                   const char* password) {
  Unpacking unpacking;
  unpacking.reporter = reporter;
  if (archivePath == nullptr || folder == nullptr) return Report(unpacking, -1, kUnzipOpenFailed, u"");
  RepairInterruptedSwitch(folder, reporter);
  // Opened before the folder is made: an archive that cannot be read leaves no trace at all.
  unpacking.archive = OpenArchive(archivePath, password);
  if (unpacking.archive == nullptr) return Report(unpacking, -1, kUnzipOpenFailed, archivePath);
  // Over a switch that could not be taken back, or a journal that cannot be read now, nothing is
  // staged: the journal is the only record of what the folder holds.
  if (!BeginStaging(folder, reporter, unpacking.staging)) {
    CloseArchive(unpacking.archive);
    return Report(unpacking, -1, kUnzipUpdateNotApplied, folder);
  }

  const bool recorded = ReadLastRecord(unpacking, folder);
  // Like every other report, a folder that cannot be made means not everything was installed,
  // even when the archive has no entry that would notice.
  bool allInstalled = true;
  if (GetPathAttributes(folder) == kInvalidAttributes && !CreateOneFolder(folder))
    allInstalled = Cancel(unpacking, -1, kUnzipFolderFailed, folder);
  // A folder with no room for names makes every entry's path too long; each is reported.
  if (!SetFolder(unpacking, folder)) unpacking.folderLength = kEntryPathCapacity;

  ArchiveEntryInfo counted;
  GetArchiveEntry(unpacking.archive, -1, &counted);
  for (std::int32_t index = 0; index < counted.index; ++index) {
    if (!InstallEntry(unpacking, index)) allInstalled = false;
  }
  CloseArchive(unpacking.archive);
  unpacking.held.Clear();  // a held folder could not be removed
  if (unpacking.cancelled) {
    DiscardStagedFiles(unpacking.plan, unpacking.staging);
    return Report(unpacking, -1, kUnzipUpdateNotApplied, folder);
  }
  PlanDroppedFiles(unpacking);
  PlanRecordedFolders(unpacking);
  unpacking.plan.recordChanged = !recorded || !(unpacking.plan.record == unpacking.installed);
  if (!SwitchStagedFiles(unpacking.plan, unpacking.staging))
    return Report(unpacking, -1, kUnzipUpdateNotApplied, folder);
  return allInstalled;
}
