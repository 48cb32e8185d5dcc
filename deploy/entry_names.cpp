#include "deploy/entry_names.h"

#include "platform/file_system.h"
#include "platform/text_encoding.h"

namespace {

std::uint32_t LengthOf(const char16_t* text) {
  std::uint32_t length = 0;
  while (text[length] != 0) ++length;
  return length;
}

char16_t LowerAscii(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; }

// Whether a[0, length) and b[0, length) are equal in any case of A to Z.
bool SameInAnyAsciiCase(const char16_t* a, const char16_t* b, std::uint32_t length) {
  for (std::uint32_t i = 0; i < length; ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

}  // namespace

bool EndsWithNameSuffix(const char16_t* name, std::uint32_t length, const char16_t* suffix) {
  const std::uint32_t suffixLength = LengthOf(suffix);
  return length >= suffixLength && SameInAnyAsciiCase(name + length - suffixLength, suffix, suffixLength);
}

bool HasForbiddenCharacter(const char16_t* name) {
  for (; *name != 0; ++name) {
    const char16_t c = *name;
    if (c < 0x20 || c == u'<' || c == u'>' || c == u'"' || c == u'|' || c == u'?' || c == u'*') return true;
  }
  return false;
}

namespace {

// Whether name[0, length) begins with prefix, in any case of A to Z.
bool StartsWithName(const char16_t* name, std::uint32_t length, const char16_t* prefix) {
  const std::uint32_t prefixLength = LengthOf(prefix);
  return length >= prefixLength && SameInAnyAsciiCase(name, prefix, prefixLength);
}

// One level of a name: a staged, kept-aside, journal or record name, or one the journal is set aside as
// ("Quorvane.qvjournal.unusable", with or without a number).
bool IsReservedNamePart(const char16_t* part, std::uint32_t length) {
  return EndsWithNameSuffix(part, length, kUnzipTemporarySuffix) ||
         EndsWithNameSuffix(part, length, kUnzipKeptAsideSuffix) ||
         EndsWithNameSuffix(part, length, kUnzipJournalSuffix) ||
         EndsWithNameSuffix(part, length, kUnzipRecordSuffix) || StartsWithName(part, length, kUnzipJournalName);
}

}  // namespace

bool IsReservedEntryName(const char16_t* name, std::uint32_t length) {
  std::uint32_t start = 0;
  for (std::uint32_t i = 0; i <= length; ++i) {
    if (i < length && !IsPathSeparator(name[i])) continue;
    if (IsReservedNamePart(name + start, i - start)) return true;
    start = i + 1;
  }
  return false;
}

std::u16string FoldedEntryName(const char16_t* name) {
  std::u16string folded(name);
  while (!folded.empty() && IsPathSeparator(folded.back())) folded.pop_back();
  for (char16_t& c : folded) {
    if (c == u'/') c = u'\\';
  }
  UpcaseAsFileNames(&folded[0], static_cast<int>(folded.size()));
  return folded;
}

namespace {

// Whether a folder of folded[0, end) clashes with a file named earlier; each one not yet known is
// remembered when remember is set.
bool FolderClashes(EntryNames& names, const std::u16string& folded, std::size_t end, bool remember) {
  for (std::size_t i = 1; i <= end; ++i) {
    if (i < end && folded[i] != u'\\') continue;
    const std::u16string folder = folded.substr(0, i);
    if (names.files.count(folder) != 0) return true;
    if (remember) names.folders.insert(folder);
  }
  return false;
}

}  // namespace

bool IsSameFileName(const char16_t* a, std::uint32_t aLength, const char16_t* b, std::uint32_t bLength) {
  std::u16string first(a, aLength), second(b, bLength);
  UpcaseAsFileNames(&first[0], static_cast<int>(first.size()));
  UpcaseAsFileNames(&second[0], static_cast<int>(second.size()));
  return first == second;
}

const char* JudgeEntryName(EntryNames& names, ArchiveResult described, const ArchiveEntryInfo& info) {
  if (described == ArchiveResult::NameNotUtf8) return kUnzipNameNotUtf8;
  if (described == ArchiveResult::NameTooLong) return kUnzipRefusedName;
  // The reader's clean-up of names keeps parent steps such as "../x": those would leave the folder.
  if (!EntryNameIsSafe(info.name) || HasForbiddenCharacter(info.name)) return kUnzipRefusedName;
  const std::uint32_t length = static_cast<std::uint32_t>(std::char_traits<char16_t>::length(info.name));
  // "x.qvtmp" is the staged file of entry "x", whose install would overwrite it and move it away;
  // a folder of such a name would stand where the tool puts its own files, or block them.
  if (IsReservedEntryName(info.name, length)) return kUnzipRefusedName;
  const std::u16string folded = FoldedEntryName(info.name);
  const std::size_t parent = folded.rfind(u'\\');
  const std::size_t folders = EntryIsFolder(info) ? folded.size() : parent == std::u16string::npos ? 0 : parent;
  // Windows keeps one entry per name in a folder: a file and a folder cannot share it.
  if (FolderClashes(names, folded, folders, false)) return kUnzipDuplicateName;
  if (!EntryIsFolder(info) && (names.folders.count(folded) != 0 || names.files.count(folded) != 0)) {
    return kUnzipDuplicateName;
  }
  FolderClashes(names, folded, folders, true);
  if (!EntryIsFolder(info)) names.files.insert(folded);
  return nullptr;
}
