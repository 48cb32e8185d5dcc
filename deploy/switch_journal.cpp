#include "deploy/switch_journal.h"

#include "deploy/entry_names.h"
#include "deploy/switch_paths.h"
#include "platform/text_encoding.h"

namespace {

constexpr char kJournalHeader[] = "quorvane switch 1\n";
constexpr char kStagingState[] = "staging";      // files are being staged; no target touched yet
constexpr char kSwitchingState[] = "switching";  // targets may be set aside or replaced
constexpr char kCommittedState[] = "committed";  // the folder is one whole version; waste may be left
// A journal lists one line per file; far beyond any archive's 65,535 entries is no journal of ours.
constexpr std::uint32_t kLongestJournal = 32u << 20;

const char* StateText(JournalState state) {
  return state == JournalState::Staging     ? kStagingState
         : state == JournalState::Switching ? kSwitchingState
                                            : kCommittedState;
}

}  // namespace

std::string Utf8Line(char kind, const std::u16string& name) {
  const int size = Utf16ToUtf8(name.c_str(), static_cast<int>(name.size()), nullptr, 0);
  std::string line(1, kind);
  line += ' ';
  const std::size_t at = line.size();
  line.resize(at + static_cast<std::size_t>(size > 0 ? size : 0));
  if (size > 0) Utf16ToUtf8(name.c_str(), static_cast<int>(name.size()), &line[at], size);
  return line + '\n';
}

std::string JournalText(const Journal& journal) {
  std::string text = std::string(kJournalHeader) + StateText(journal.state) + '\n';
  for (const StagedFile& file : journal.files) text += Utf8Line(file.hadOld ? 'O' : 'N', file.name);
  for (const std::u16string& name : journal.staged) text += Utf8Line(kNoteStagedFile, name);
  for (const std::u16string& name : journal.stagingFolders) text += Utf8Line(kNoteStagingFolder, name);
  for (const std::u16string& name : journal.folders) text += Utf8Line(kNoteMadeFolder, name);
  for (const std::u16string& name : journal.keptAside) text += Utf8Line('K', name);
  return text;
}

namespace {

// A name from a journal is used only as an entry's name would be: inside the folder, no reserved
// or forbidden name, within the path limit.
bool JournalNameIsUsable(const char16_t* folder, const std::u16string& name) {
  ArchiveEntryInfo info;
  if (name.empty() || name.size() >= kEntryNameCapacity) return false;
  name.copy(info.name, name.size());
  info.name[name.size()] = 0;
  EntryNames unused;
  return JudgeEntryName(unused, ArchiveResult::Ok, info) == nullptr &&
         PathOf(folder, name).size() + kUnzipLongestSuffix < kEntryPathCapacity;
}

// One line into journal; a line that is not one of ours is passed over and marks the journal.
void ParseLine(const char16_t* folder, const std::string& line, Journal* journal) {
  if (line.size() == 2 && line[0] == kNoteStagingFolder && line[1] == ' ') {
    journal->stagingFolders.emplace_back();
    return;
  }
  const int units = line.size() >= 3 && line[1] == ' '
                        ? Utf8ToUtf16(line.data() + 2, static_cast<int>(line.size() - 2), nullptr, 0)
                        : 0;
  std::u16string name(static_cast<std::size_t>(units > 0 ? units : 0), u'\0');
  if (units <= 0 || Utf8ToUtf16(line.data() + 2, static_cast<int>(line.size() - 2), &name[0], units) != units ||
      !JournalNameIsUsable(folder, name)) {
    journal->unusable = true;
    return;
  }
  switch (line[0]) {
    case 'O':
    case 'N':
      journal->files.push_back(StagedFile{name, line[0] == 'O'});
      break;
    case kNoteStagedFile:
      journal->staged.push_back(name);
      break;
    case kNoteStagingFolder:
      journal->stagingFolders.push_back(name);
      break;
    case kNoteMadeFolder:
      journal->folders.push_back(name);
      break;
    case 'K':
      journal->keptAside.push_back(name);
      break;
    default:
      journal->unusable = true;
  }
}

}  // namespace

// False when text is no journal of ours at all. A staging journal grows line by line, so its last
// line may have been cut by a crash: that line's file was never made.
bool ParseJournal(const char16_t* folder, const std::string& text, Journal* journal) {
  const std::string head = std::string(kJournalHeader);
  if (text.compare(0, head.size(), head) != 0) return false;
  std::size_t at = head.size();
  std::size_t end = text.find('\n', at);
  if (end == std::string::npos) return false;
  const std::string state = text.substr(at, end - at);
  if (state == kStagingState) {
    journal->state = JournalState::Staging;
  } else if (state == kSwitchingState) {
    journal->state = JournalState::Switching;
  } else if (state == kCommittedState) {
    journal->state = JournalState::Committed;
  } else {
    return false;
  }
  for (at = end + 1; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    ParseLine(folder, text.substr(at, end - at), journal);
  }
  if (at != text.size() && journal->state != JournalState::Staging) journal->unusable = true;
  return true;
}

JournalRead ReadJournal(HeldFileReports& reports, const char16_t* folder, Journal* journal) {
  const std::u16string path = PathOf(folder, kUnzipJournalName);
  const std::uint32_t attributes = GetPathAttributes(path.c_str());
  if (attributes == kInvalidAttributes) return JournalRead::None;
  if ((attributes & kAttributeDirectory) != 0) return JournalRead::NotOurs;
  ScopedPlatformFile file;
  if (!Attempt(reports, -1, kUnzipJournalName, [&] {
        file.Reset(OpenFileForReading(path.c_str()));
        return file.IsValid();
      })) {
    return JournalRead::Held;
  }
  std::uint64_t size = 0;
  if (!SeekFile(file.Get(), 0, SeekOrigin::End, &size) || !SeekFile(file.Get(), 0, SeekOrigin::Start, nullptr))
    return JournalRead::Held;
  if (size > kLongestJournal) return JournalRead::NotOurs;
  std::string text(static_cast<std::size_t>(size), '\0');
  std::uint32_t read = 0;
  if (size > 0 && (!ReadFromFile(file.Get(), &text[0], static_cast<std::uint32_t>(size), &read) || read != size))
    return JournalRead::Held;
  return ParseJournal(folder, text, journal) ? JournalRead::Read : JournalRead::NotOurs;
}

bool WriteJournal(HeldFileReports& reports, const char16_t* folder, const Journal& journal) {
  const std::u16string path = PathOf(folder, kUnzipJournalName);
  const std::u16string temporary = path + kUnzipTemporarySuffix;
  DeleteHeldFile(reports, -1, kUnzipJournalName, temporary.c_str());
  const std::string text = JournalText(journal);
  ScopedPlatformFile file(CreateHeldFile(reports, -1, kUnzipJournalName, temporary.c_str()));
  const bool written = file.IsValid() &&
                       WriteToFile(file.Get(), text.data(), static_cast<std::uint32_t>(text.size())) &&
                       FlushFile(file.Get());
  file.Reset();
  if (written && MoveHeldFile(reports, -1, kUnzipJournalName, temporary.c_str(), path.c_str())) return true;
  DeleteHeldFile(reports, -1, kUnzipJournalName, temporary.c_str());
  return false;
}
