#include "deploy/entry_names.h"

#include "platform/file_system.h"
#include "platform/text_encoding.h"

namespace {

bool EndsWith(const char16_t* name, std::uint32_t length, const char16_t* suffix) {
  std::uint32_t suffixLength = 0;
  while (suffix[suffixLength] != 0) ++suffixLength;
  if (length < suffixLength) return false;
  for (std::uint32_t i = 0; i < suffixLength; ++i) {
    char16_t c = name[length - suffixLength + i];
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    if (c != suffix[i]) return false;
  }
  return true;
}

// Characters Windows allows in no file name (the colon is the reader's to refuse): such an entry
// could never be created there, on any host.
bool HasForbiddenCharacter(const char16_t* name) {
  for (; *name != 0; ++name) {
    const char16_t c = *name;
    if (c < 0x20 || c == u'<' || c == u'>' || c == u'"' || c == u'|' || c == u'?' || c == u'*') return true;
  }
  return false;
}

}  // namespace

bool IsReservedEntryName(const char16_t* name, std::uint32_t length) {
  return EndsWith(name, length, kUnzipTemporarySuffix) || EndsWith(name, length, kUnzipKeptAsideSuffix) ||
         EndsWith(name, length, kUnzipJournalSuffix);
}

const char* JudgeEntryName(EntryNames& names, ArchiveResult described, const ArchiveEntryInfo& info) {
  if (described == ArchiveResult::NameNotUtf8) return kUnzipNameNotUtf8;
  if (described == ArchiveResult::NameTooLong) return kUnzipRefusedName;
  // The reader's clean-up of names keeps parent steps such as "../x": those would leave the folder.
  if (!EntryNameIsSafe(info.name) || HasForbiddenCharacter(info.name)) return kUnzipRefusedName;
  std::u16string folded(info.name);
  // "x.qvtmp" is the staged file of entry "x", whose install would overwrite it and move it away.
  if (IsReservedEntryName(folded.data(), static_cast<std::uint32_t>(folded.size()))) return kUnzipRefusedName;
  if (EntryIsFolder(info)) return nullptr;
  for (char16_t& c : folded) {
    if (c == u'/') c = u'\\';
  }
  UpcaseAsFileNames(&folded[0], static_cast<int>(folded.size()));
  return names.files.insert(folded).second ? nullptr : kUnzipDuplicateName;
}
