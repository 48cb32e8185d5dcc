// Which entries the folder extraction refuses for their name alone: a refused entry is reported
// and never exists in the folder, so skipping it leaves no mix of versions. ziptool's listing marks
// the same entries.
#pragma once

#include <string>
#include <unordered_set>

#include "archive/archive_reader.h"
#include "deploy/unzip_report.h"

// What the folder extraction puts beside its targets: no entry may take these names.
inline constexpr char16_t kUnzipTemporarySuffix[] = u".qvtmp";  // a staged file
inline constexpr std::uint32_t kUnzipTemporarySuffixLength =
    sizeof kUnzipTemporarySuffix / sizeof kUnzipTemporarySuffix[0] - 1;
inline constexpr char16_t kUnzipKeptAsideSuffix[] = u".qvold";  // an old file during the switch
inline constexpr char16_t kUnzipJournalSuffix[] = u".qvjournal";
inline constexpr char16_t kUnzipJournalName[] = u"Quorvane.qvjournal";  // in the folder itself
// What the last release installed (install_record.h), in the folder itself.
inline constexpr char16_t kUnzipRecordSuffix[] = u".qvrecord";
inline constexpr char16_t kInstallRecordName[] = u"Quorvane.qvrecord";
// The longest of the suffixes that a file entry's path gets beside its target.
inline constexpr std::uint32_t kUnzipLongestSuffix = 6;
// folder + "\" + name + the longest suffix, within Windows' MAX_PATH (the terminator included),
// and an entry's folders within the 248 characters that CreateDirectoryW accepts: the release tool
// declares no long-path awareness, and Windows refuses longer paths even where Wine does not.
inline constexpr int kEntryPathCapacity = 260;
inline constexpr int kEntryFolderCapacity = 248;

// The files and folders named so far, as Windows compares names: separators alike, case folded, a
// folder without its closing separator; a file's folders count as named.
struct EntryNames {
  std::unordered_set<std::u16string> files;
  std::unordered_set<std::u16string> folders;
};

// The event for which entry info (described with result described) is refused by its name, or null.
// An entry that is not refused is remembered in names: a later one that Windows takes for the same
// file, or a file and a folder of one name ("Lib" and "lib/x.dll", "a/b" and "a/b/", either order),
// is a Duplicate Name, so the first one stays and the switch never meets a folder at a file's name.
const char* JudgeEntryName(EntryNames& names, ArchiveResult described, const ArchiveEntryInfo& info);
// Whether name[0, length) ends with suffix, in any case of A to Z (the suffixes above).
bool EndsWithNameSuffix(const char16_t* name, std::uint32_t length, const char16_t* suffix);
// Whether a name, as the folder extraction writes it, is one that no entry may take: a staged,
// kept-aside, journal or record name (or the journal's set-aside name) in any of its levels, in
// any case.
bool IsReservedEntryName(const char16_t* name, std::uint32_t length);
// Whether name holds a character Windows allows in no file name (the colon is the reader's to
// refuse): such an entry could never be created there, on any host.
bool HasForbiddenCharacter(const char16_t* name);
// The name as Windows compares it: "\\" between levels, upper case, no closing separator.
std::u16string FoldedEntryName(const char16_t* name);
// Whether Windows takes two names of one level (no separator) for the same file: equal once
// upper-cased as it compares file names.
bool IsSameFileName(const char16_t* a, std::uint32_t aLength, const char16_t* b, std::uint32_t bLength);
