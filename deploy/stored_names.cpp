#include "deploy/stored_names.h"

#include "deploy/entry_names.h"
#include "deploy/switch_paths.h"
#include "platform/text_encoding.h"

std::string Utf8Line(char kind, const std::u16string& name) {
  const int size = Utf16ToUtf8(name.c_str(), static_cast<int>(name.size()), nullptr, 0);
  std::string line(1, kind);
  line += ' ';
  const std::size_t at = line.size();
  line.resize(at + static_cast<std::size_t>(size > 0 ? size : 0));
  if (size > 0) Utf16ToUtf8(name.c_str(), static_cast<int>(name.size()), &line[at], size);
  return line + '\n';
}

namespace {

bool NameIsUsable(const char16_t* folder, const std::u16string& name) {
  ArchiveEntryInfo info;
  if (name.empty() || name.size() >= kEntryNameCapacity) return false;
  name.copy(info.name, name.size());
  info.name[name.size()] = 0;
  EntryNames unused;
  return JudgeEntryName(unused, ArchiveResult::Ok, info) == nullptr &&
         PathOf(folder, name).size() + kUnzipLongestSuffix < kEntryPathCapacity;
}

}  // namespace

bool DecodeStoredName(const char16_t* folder, const char* bytes, std::size_t size, std::u16string* name) {
  for (std::size_t i = 0; i < size; ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (byte < 0x20 || byte == 0x7F) return false;
  }
  const int length = static_cast<int>(size);
  const int units = size > 0 ? Utf8ToUtf16(bytes, length, nullptr, 0) : 0;
  if (units <= 0) return false;
  name->assign(static_cast<std::size_t>(units), u'\0');
  if (Utf8ToUtf16(bytes, length, &(*name)[0], units) != units) return false;
  return Utf8Line(' ', *name) == std::string(" ") + ' ' + std::string(bytes, size) + '\n' &&
         NameIsUsable(folder, *name);
}
