#include "deploy/switch_journal.h"

#include <utility>

#include "deploy/entry_names.h"
#include "deploy/stored_names.h"
#include "deploy/switch_paths.h"

namespace {

constexpr char kJournalHeader[] = "quorvane switch 1\n";
constexpr char kStagingState[] = "staging";      // files are being staged; no target touched yet
constexpr char kSwitchingState[] = "switching";  // targets may be set aside or replaced
constexpr char kCommittedState[] = "committed";  // the folder is one whole version; waste may be left
// Before the install record's lines in a committed journal.
constexpr char kRecordMark[] = "R ";
// After the state: the folder may mix two versions (see JournalState). Journals of earlier
// versions of the tool never say so.
constexpr char kMixedMark[] = " mixed";

std::string StateText(const Journal& journal) {
  const char* state = journal.state == JournalState::Staging     ? kStagingState
                      : journal.state == JournalState::Switching ? kSwitchingState
                                                                 : kCommittedState;
  return std::string(state) + (journal.mixed ? kMixedMark : "");
}

char FileLineKind(const StagedFile& file) {
  if (file.change == FileChange::Added) return kNoteAddedFile;
  if (file.change == FileChange::Dropped) return 'X';
  return file.hadOld ? 'O' : 'N';
}

}  // namespace

std::string JournalText(const Journal& journal) {
  std::string text = std::string(kJournalHeader) + StateText(journal) + '\n';
  for (const StagedFile& file : journal.files) text += Utf8Line(FileLineKind(file), file.name);
  for (const std::u16string& name : journal.staged) text += Utf8Line(kNoteStagedFile, name);
  for (const std::u16string& name : journal.stagingFolders) text += Utf8Line(kNoteStagingFolder, name);
  for (const std::u16string& name : journal.folders) text += Utf8Line(kNoteMadeFolder, name);
  for (const std::u16string& name : journal.keptAside) text += Utf8Line('K', name);
  if (journal.hasRecord) text += std::string(kRecordMark) + '\n' + RecordLines(journal.record);
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

// One line into journal; a line that is not one of ours is passed over and marks the journal.
// targets: the names of the switch's targets so far, folded.
void ParseLine(const char16_t* folder, const std::string& line, Journal* journal,
               std::unordered_set<std::u16string>* targets) {
  if (line.size() == 2 && line[0] == kNoteStagingFolder && line[1] == ' ') {
    journal->stagingFolders.emplace_back();
    return;
  }
  if (line == kRecordMark && !journal->hasRecord) {
    journal->hasRecord = true;
    return;
  }
  if (journal->hasRecord) {
    // After the mark only the record's own lines.
    if (!ParseRecordLine(folder, line, &journal->record)) journal->unusable = true;
    return;
  }
  std::u16string name;
  if (line.size() < 3 || line[1] != ' ' || !DecodeStoredName(folder, line.data() + 2, line.size() - 2, &name)) {
    journal->unusable = true;
    return;
  }
  switch (line[0]) {
    case 'O':
    case 'N':
    case kNoteAddedFile:
    case 'X':
      // Each target once: a second line for one file would undo the first one's undo.
      if (!targets->insert(FoldedEntryName(name.c_str())).second) {
        journal->unusable = true;
        break;
      }
      journal->files.push_back(StagedFile{name, line[0] == 'O' || line[0] == 'X', -1,
                                          line[0] == kNoteAddedFile ? FileChange::Added
                                          : line[0] == 'X'          ? FileChange::Dropped
                                                                    : FileChange::Staged});
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
// the appended end as zeros (the size grew, the data never arrived): the journal ends there, and
// since the lines lost may have named files written at their own names, the folder may be mixed.
bool ParseJournal(const char16_t* folder, const std::string& text, Journal* journal) {
  const std::string head = std::string(kJournalHeader);
  if (text.compare(0, head.size(), head) != 0) return false;
  std::size_t at = head.size();
  std::size_t end = text.find('\n', at);
  if (end == std::string::npos || !ParseState(text.substr(at, end - at), journal)) return false;
  std::size_t length = text.size();
  if (journal->state == JournalState::Staging) {
    const std::size_t zeros = text.find_last_not_of('\0');
    if (zeros != std::string::npos && zeros + 1 < length) {
      length = zeros + 1;
      journal->linesLost = true;
    }
  }
  std::unordered_set<std::u16string> targets;
  for (at = end + 1; (end = text.find('\n', at)) != std::string::npos && end < length; at = end + 1) {
    ParseLine(folder, text.substr(at, end - at), journal, &targets);
  }
  if (at != length && journal->state != JournalState::Staging) journal->unusable = true;
  if (journal->hasRecord && (journal->state != JournalState::Committed || RecordNamesTwice(journal->record)))
    journal->unusable = true;
  return true;
}

JournalRead ReadJournal(HeldFileReports& reports, const char16_t* folder, Journal* journal) {
  const std::u16string path = PathOf(folder, kUnzipJournalName);
  std::string text;
  const WholeRead read = ReadWholeFile(reports, kUnzipJournalName, path.c_str(), kLongestJournal, &text);
  if (read == WholeRead::None) return JournalRead::None;
  if (read == WholeRead::Held) return JournalRead::Held;
  if (read == WholeRead::NotOurs || !ParseJournal(folder, text, journal)) return JournalRead::NotOurs;
  journal->text = std::move(text);
  return JournalRead::Read;
}

bool WriteJournal(HeldFileReports& reports, const char16_t* folder, const Journal& journal) {
  const std::string text = JournalText(journal);
  if (text.size() > kLongestJournal) return false;  // the next run would take it for another program's
  return ReplaceWholeFile(reports, kUnzipJournalName, PathOf(folder, kUnzipJournalName).c_str(), text);
}
