#include "deploy/install_record.h"

#include <cstdio>
#include <unordered_set>

#include "archive/zip_format.h"
#include "deploy/entry_names.h"
#include "deploy/file_content.h"
#include "deploy/stored_names.h"
#include "deploy/switch_paths.h"

namespace {

constexpr char kRecordHeader[] = "quorvane record 1\n";
constexpr char kRecordEnd[] = "end ";
constexpr std::size_t kHexDigits = 8;

// Every line of an archive's entries and of as many folders, each name as long as a path may be
// in the longest UTF-8, the size in ten digits.
constexpr std::uint64_t kLongestRecordLine = 2 + 10 + 1 + kHexDigits + 1 + 3 * (kEntryPathCapacity - 1) + 1;
constexpr std::uint64_t kLongestRecord = 64 + 2 * static_cast<std::uint64_t>(kMaxEntryCount) * kLongestRecordLine;

std::string Hex(std::uint32_t value) {
  char text[kHexDigits + 1];
  std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(value));
  return std::string(text, kHexDigits);
}

// Exactly as Hex writes it: eight lower-case digits.
bool ParseHex(const std::string& text, std::uint32_t* value) {
  if (text.size() != kHexDigits) return false;
  std::uint32_t result = 0;
  for (const char c : text) {
    const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (digit < 0) return false;
    result = result << 4 | static_cast<std::uint32_t>(digit);
  }
  *value = result;
  return true;
}

// Decimal as written: no sign, no leading zero, within 32 bits.
bool ParseSize(const std::string& text, std::uint32_t* value) {
  if (text.empty() || text.size() > 10 || (text.size() > 1 && text[0] == '0')) return false;
  std::uint64_t result = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    result = result * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (result > 0xFFFFFFFFu) return false;
  *value = static_cast<std::uint32_t>(result);
  return true;
}

}  // namespace

std::string RecordLines(const InstallRecord& record) {
  std::string text;
  for (const RecordedFile& file : record.files) {
    text += std::string(1, kRecordedFileLine) + ' ' + std::to_string(file.size) + ' ' + Hex(file.crc) + ' ';
    text += Utf8Line(' ', file.name).substr(2);  // the name in UTF-8 and the newline
  }
  for (const std::u16string& folder : record.folders) text += Utf8Line(kRecordedFolderLine, folder);
  return text;
}

bool ParseRecordLine(const char16_t* folder, const std::string& line, InstallRecord* record) {
  if (line.size() < 3 || line[1] != ' ') return false;
  if (line[0] == kRecordedFolderLine) {
    std::u16string name;
    if (!DecodeStoredName(folder, line.data() + 2, line.size() - 2, &name)) return false;
    record->folders.push_back(std::move(name));
    return true;
  }
  if (line[0] != kRecordedFileLine) return false;
  const std::size_t sizeEnd = line.find(' ', 2);
  if (sizeEnd == std::string::npos || sizeEnd + 1 + kHexDigits + 1 >= line.size() ||
      line[sizeEnd + 1 + kHexDigits] != ' ')
    return false;
  RecordedFile file;
  const std::size_t nameAt = sizeEnd + 1 + kHexDigits + 1;
  if (!ParseSize(line.substr(2, sizeEnd - 2), &file.size) ||
      !ParseHex(line.substr(sizeEnd + 1, kHexDigits), &file.crc) ||
      !DecodeStoredName(folder, line.data() + nameAt, line.size() - nameAt, &file.name))
    return false;
  record->files.push_back(std::move(file));
  return true;
}

bool RecordNamesTwice(const InstallRecord& record) {
  std::unordered_set<std::u16string> files;
  std::unordered_set<std::u16string> folders;
  for (const RecordedFile& file : record.files) {
    if (!files.insert(FoldedEntryName(file.name.c_str())).second) return true;
  }
  for (const std::u16string& folder : record.folders) {
    const std::u16string folded = FoldedEntryName(folder.c_str());
    if (files.count(folded) != 0 || !folders.insert(folded).second) return true;
  }
  return false;
}

std::string InstallRecordText(const InstallRecord& record) {
  std::string text = std::string(kRecordHeader) + RecordLines(record);
  return text + kRecordEnd + Hex(ContinueCrc32(0, text.data(), static_cast<std::uint32_t>(text.size()))) + '\n';
}

bool ParseInstallRecord(const char16_t* folder, const std::string& text, InstallRecord* record) {
  const std::string head = kRecordHeader;
  const std::size_t endLine = sizeof kRecordEnd - 1 + kHexDigits + 1;
  if (text.size() < head.size() + endLine || text.compare(0, head.size(), head) != 0 || text.back() != '\n')
    return false;
  const std::size_t body = text.size() - endLine;
  std::uint32_t crc = 0;
  if (text.compare(body, sizeof kRecordEnd - 1, kRecordEnd) != 0 ||
      !ParseHex(text.substr(body + sizeof kRecordEnd - 1, kHexDigits), &crc) ||
      crc != ContinueCrc32(0, text.data(), static_cast<std::uint32_t>(body)))
    return false;
  InstallRecord parsed;
  for (std::size_t at = head.size(), end = 0; at < body; at = end + 1) {
    end = text.find('\n', at);
    if (end == std::string::npos || end >= body || !ParseRecordLine(folder, text.substr(at, end - at), &parsed))
      return false;
  }
  if (RecordNamesTwice(parsed)) return false;
  *record = std::move(parsed);
  return true;
}

WholeRead ReadInstallRecord(HeldFileReports& reports, const char16_t* folder, InstallRecord* record) {
  const std::u16string path = PathOf(folder, kInstallRecordName);
  std::string text;
  const WholeRead read = ReadWholeFile(reports, kInstallRecordName, path.c_str(), kLongestRecord, &text);
  if (read != WholeRead::Read) return read;
  return ParseInstallRecord(folder, text, record) ? WholeRead::Read : WholeRead::NotOurs;
}

bool WriteInstallRecord(HeldFileReports& reports, const char16_t* folder, const InstallRecord& record) {
  return ReplaceWholeFile(reports, kInstallRecordName, PathOf(folder, kInstallRecordName).c_str(),
                          InstallRecordText(record));
}
