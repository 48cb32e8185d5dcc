#include "deploy/switch_journal.h"

#include <utility>

#include "deploy/entry_names.h"
#include "deploy/switch_paths.h"
#include "platform/text_encoding.h"

namespace {

constexpr char kJournalHeader[] = "quorvane switch 1\n";
constexpr char kStagingState[] = "staging";      // files are being staged; no target touched yet
constexpr char kSwitchingState[] = "switching";  // targets may be set aside or replaced
constexpr char kCommittedState[] = "committed";  // the folder is one whole version; waste may be left
// After the state: the folder may mix two versions (see JournalState). Journals of earlier
// versions of the tool never say so.
constexpr char kMixedMark[] = " mixed";

std::string StateText(const Journal& journal) {
  const char* state = journal.state == JournalState::Staging     ? kStagingState
                      : journal.state == JournalState::Switching ? kSwitchingState
                                                                 : kCommittedState;
  return std::string(state) + (journal.mixed ? kMixedMark : "");
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
  std::string text = std::string(kJournalHeader) + StateText(journal) + '\n';
  for (const StagedFile& file : journal.files) text += Utf8Line(file.hadOld ? 'O' : 'N', file.name);
  for (const std::u16string& name : journal.staged) text += Utf8Line(kNoteStagedFile, name);
  for (const std::u16string& name : journal.stagingFolders) text += Utf8Line(kNoteStagingFolder, name);
  for (const std::u16string& name : journal.folders) text += Utf8Line(kNoteMadeFolder, name);
  for (const std::u16string& name : journal.keptAside) text += Utf8Line('K', name);
  return text;
}

Journal CarriedWaste(const StagingJournal& staging) {
  Journal journal;
  journal.staged.assign(staging.staged.begin(), staging.staged.begin() + staging.carriedStaged);
  journal.folders.assign(staging.folders.begin(), staging.folders.begin() + staging.carriedFolders);
  journal.stagingFolders = staging.carriedStagingFolders;
  journal.keptAside = staging.keptAside;
  return journal;
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

// A name is taken whole or not at all: printable UTF-8 that decodes to a name which encodes back
// to exactly these bytes. A NUL or other control byte (zeros a power cut left, a planted line)
// would otherwise cut the name short, and the file calls would act on another file than the one
// checked.
bool DecodeName(const char* bytes, std::size_t size, std::u16string* name) {
  for (std::size_t i = 0; i < size; ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (byte < 0x20 || byte == 0x7F) return false;
  }
  const int length = static_cast<int>(size);
  const int units = size > 0 ? Utf8ToUtf16(bytes, length, nullptr, 0) : 0;
  if (units <= 0) return false;
  name->assign(static_cast<std::size_t>(units), u'\0');
  if (Utf8ToUtf16(bytes, length, &(*name)[0], units) != units) return false;
  return Utf8Line(' ', *name) == std::string(" ") + ' ' + std::string(bytes, size) + '\n';
}

// One line into journal; a line that is not one of ours is passed over and marks the journal.
// targets: the names of the switch's targets so far, folded.
void ParseLine(const char16_t* folder, const std::string& line, Journal* journal,
               std::unordered_set<std::u16string>* targets) {
  if (line.size() == 2 && line[0] == kNoteStagingFolder && line[1] == ' ') {
    journal->stagingFolders.emplace_back();
    return;
  }
  std::u16string name;
  if (line.size() < 3 || line[1] != ' ' || !DecodeName(line.data() + 2, line.size() - 2, &name) ||
      !JournalNameIsUsable(folder, name)) {
    journal->unusable = true;
    return;
  }
  switch (line[0]) {
    case 'O':
    case 'N':
      // Each target once: a second line for one file would undo the first one's undo.
      if (!targets->insert(FoldedEntryName(name.c_str())).second) {
        journal->unusable = true;
        break;
      }
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

bool ParseState(std::string state, Journal* journal) {
  const std::size_t mark = sizeof kMixedMark - 1;
  journal->mixed = state.size() > mark && state.compare(state.size() - mark, mark, kMixedMark) == 0;
  if (journal->mixed) state.resize(state.size() - mark);
  const struct {
    const char* text;
    JournalState state;
  } kStates[] = {{kStagingState, JournalState::Staging},
                 {kSwitchingState, JournalState::Switching},
                 {kCommittedState, JournalState::Committed}};
  for (const auto& known : kStates) {
    if (state == known.text) {
      journal->state = known.state;
      return true;
    }
  }
  return false;
}

}  // namespace

// False when text is no journal of ours at all. A staging journal grows line by line, so its last
// line may have been cut by a crash: that line's file was never made. A power cut can also leave
// the appended end as zeros (the size grew, the data never arrived): the journal ends there.
bool ParseJournal(const char16_t* folder, const std::string& text, Journal* journal) {
  const std::string head = std::string(kJournalHeader);
  if (text.compare(0, head.size(), head) != 0) return false;
  std::size_t at = head.size();
  std::size_t end = text.find('\n', at);
  if (end == std::string::npos || !ParseState(text.substr(at, end - at), journal)) return false;
  std::size_t length = text.size();
  if (journal->state == JournalState::Staging) {
    const std::size_t zeros = text.find_last_not_of('\0');
    if (zeros != std::string::npos && zeros + 1 < length) length = zeros + 1;
  }
  std::unordered_set<std::u16string> targets;
  for (at = end + 1; (end = text.find('\n', at)) != std::string::npos && end < length; at = end + 1) {
    ParseLine(folder, text.substr(at, end - at), journal, &targets);
  }
  if (at != length && journal->state != JournalState::Staging) journal->unusable = true;
  return true;
}

JournalRead ReadJournal(HeldFileReports& reports, const char16_t* folder, Journal* journal) {
  const std::u16string path = PathOf(folder, kUnzipJournalName);
  const std::uint32_t attributes = GetPathAttributes(path.c_str());
  if (attributes == kInvalidAttributes) return JournalRead::None;
  if ((attributes & kAttributeDirectory) != 0) return JournalRead::NotOurs;
  ScopedPlatformFile file;
  if (!Attempt(reports, -1, kUnzipJournalName, path.c_str(), [&] {
        file.Reset(OpenFileForReading(path.c_str()));
        return file.IsValid();
      })) {
    return JournalRead::Held;
  }
  std::uint64_t size = 0;
  if (!SeekFile(file.Get(), 0, SeekOrigin::End, &size) || !SeekFile(file.Get(), 0, SeekOrigin::Start, nullptr))
    return JournalRead::Held;
  if (size > kLongestJournal) return JournalRead::NotOurs;  // no journal the tool writes is longer
  std::string text(static_cast<std::size_t>(size), '\0');
  std::uint32_t read = 0;
  if (size > 0 && (!ReadFromFile(file.Get(), &text[0], static_cast<std::uint32_t>(size), &read) || read != size))
    return JournalRead::Held;
  if (!ParseJournal(folder, text, journal)) return JournalRead::NotOurs;
  journal->text = std::move(text);
  return JournalRead::Read;
}

bool WriteJournal(HeldFileReports& reports, const char16_t* folder, const Journal& journal) {
  const std::u16string path = PathOf(folder, kUnzipJournalName);
  const std::u16string temporary = path + kUnzipTemporarySuffix;
  DeleteHeldFile(reports, -1, kUnzipJournalName, temporary.c_str());
  const std::string text = JournalText(journal);
  if (text.size() > kLongestJournal) return false;  // the next run would take it for another program's
  ScopedPlatformFile file(CreateHeldFile(reports, -1, kUnzipJournalName, temporary.c_str()));
  const bool written = file.IsValid() &&
                       WriteToFile(file.Get(), text.data(), static_cast<std::uint32_t>(text.size())) &&
                       FlushFile(file.Get());
  file.Reset();
  if (written && MoveHeldFile(reports, -1, kUnzipJournalName, temporary.c_str(), path.c_str())) return true;
  DeleteHeldFile(reports, -1, kUnzipJournalName, temporary.c_str());
  return false;
}
