#include "tools/ziptool_names.h"

#include "platform/file_system.h"
#include "platform/text_encoding.h"

std::string Utf8(const char16_t* text) {
  const int size = Utf16ToUtf8(text, -1, nullptr, 0);
  if (size <= 1) return std::string();
  std::string utf8(static_cast<std::size_t>(size), '\0');
  Utf16ToUtf8(text, -1, &utf8[0], size);
  utf8.resize(static_cast<std::size_t>(size - 1));
  return utf8;
}

namespace {

// The rule that one level of a name breaks, with that level quoted; empty when it breaks none.
// The reader's device table is asked through EntryNameIsSafe on the level alone, once the other
// rules it applies are ruled out.
std::string PartRefusal(const std::u16string& part) {
  if (part.empty()) return std::string();
  const std::string quoted = ": \"" + Utf8(part.c_str()) + "\"";
  if (part == u"..") return "a parent step, which would leave the install folder" + quoted;
  if (part.find(u':') != std::u16string::npos) return "a drive or stream colon" + quoted;
  if (part.back() == u'.' || part.back() == u' ') return "a trailing dot or space, which Windows drops" + quoted;
  if (IsReservedEntryName(part.c_str(), static_cast<std::uint32_t>(part.size())))
    return "a name reserved for the release's own files" + quoted;
  if (!EntryNameIsSafe(part.c_str())) return "a device name on Windows" + quoted;
  if (HasForbiddenCharacter(part.c_str())) return "a character that no Windows file name may hold" + quoted;
  return std::string();
}

// Where the entry's folders end in its folded name: all of it for a folder, up to the last
// separator for a file.
std::size_t FoldersEnd(const std::u16string& folded, bool isFolder) {
  if (isFolder) return folded.size();
  const std::size_t parent = folded.rfind(u'\\');
  return parent == std::u16string::npos ? 0 : parent;
}

// The earlier entry that a Duplicate Name repeats, and whether it is a file and a folder of one name.
struct Repeated {
  std::int32_t index = -1;
  bool fileAndFolder = false;
};

void Consider(const std::unordered_map<std::u16string, std::int32_t>& owners, const std::u16string& name,
              std::int32_t before, bool fileAndFolder, Repeated* found) {
  const auto owner = owners.find(name);
  if (owner == owners.end() || owner->second >= before) return;
  if (found->index >= 0 && found->index <= owner->second) return;
  found->index = owner->second;
  found->fileAndFolder = fileAndFolder;
}

Repeated FindRepeated(const NameOwners& owners, std::int32_t index, const ArchiveEntryInfo& info) {
  const std::u16string folded = FoldedEntryName(info.name);
  const bool isFolder = EntryIsFolder(info);
  const std::size_t end = FoldersEnd(folded, isFolder);
  Repeated found;
  for (std::size_t i = 1; i <= end; ++i) {
    if (i == end || folded[i] == u'\\') Consider(owners.files, folded.substr(0, i), index, true, &found);
  }
  if (!isFolder) {
    Consider(owners.files, folded, index, false, &found);
    Consider(owners.folders, folded, index, true, &found);
  }
  return found;
}

}  // namespace

std::string RefusalReason(ArchiveResult described, const char16_t* name) {
  if (described == ArchiveResult::NameTooLong) return "cut at the limit: the stored name has 260 bytes or more";
  if (name[0] == 0) return "an empty name";
  const char16_t* part = name;
  for (const char16_t* p = name;; ++p) {
    if (*p != 0 && !IsPathSeparator(*p)) continue;
    const std::string why = PartRefusal(std::u16string(part, p));
    if (!why.empty()) return why;
    if (*p == 0) return "a name the release refuses";
    part = p + 1;
  }
}

const char* JudgeAndRemember(NameOwners& owners, std::int32_t index, ArchiveResult described,
                             const ArchiveEntryInfo& info) {
  const char* refused = JudgeEntryName(owners.judged, described, info);
  if (refused != nullptr) return refused;
  const std::u16string folded = FoldedEntryName(info.name);
  const bool isFolder = EntryIsFolder(info);
  const std::size_t end = FoldersEnd(folded, isFolder);
  for (std::size_t i = 1; i <= end; ++i) {
    if (i == end || folded[i] == u'\\') owners.folders.emplace(folded.substr(0, i), index);
  }
  if (!isFolder) owners.files.emplace(folded, index);
  return nullptr;
}

std::string DuplicateReason(ArchiveHandle handle, const NameOwners& owners, std::int32_t index,
                            const ArchiveEntryInfo& info) {
  const Repeated repeated = FindRepeated(owners, index, info);
  // No earlier entry: the folder itself holds a file or folder that Windows also finds under
  // this name, by its short 8.3 name.
  if (repeated.index < 0) return "another file or folder of the folder answers to this name (a short 8.3 name)";
  ArchiveEntryInfo earlier;
  GetArchiveEntry(handle, repeated.index, &earlier);
  const std::string shown = "entry " + std::to_string(repeated.index) + " \"" + Utf8(earlier.name) + "\"";
  if (repeated.fileAndFolder) return "a file and a folder of one name on Windows, with " + shown;
  if (std::u16string(earlier.name) == info.name) return "the same name as " + shown;
  return "the same file on Windows as " + shown;
}
