#include "deploy/folder_switch.h"

#include <utility>

#include "deploy/entry_names.h"
#include "platform/hold_retry.h"
#include "platform/text_encoding.h"

namespace {

constexpr char kJournalHeader[] = "quorvane switch 1\n";
constexpr char kStagingState[] = "staging";      // files are being staged; no target touched yet
constexpr char kSwitchingState[] = "switching";  // targets may be set aside or replaced
constexpr char kCommittedState[] = "committed";  // the folder is one whole version; waste may be left
// A journal lists one line per file; far beyond any archive's 65,535 entries is no journal of ours.
constexpr std::uint32_t kLongestJournal = 32u << 20;
// Kept for whoever wants to look into it, never read again: it can block no later update.
constexpr char16_t kUnusableJournalName[] = u"Quorvane.qvjournal.unusable";

std::u16string PathOf(const char16_t* folder, const std::u16string& name, const char16_t* suffix = u"") {
  std::u16string path(folder);
  if (!path.empty() && !IsPathSeparator(path.back())) path += u'\\';
  return path + name + suffix;
}

bool Exists(const std::u16string& path) { return GetPathAttributes(path.c_str()) != kInvalidAttributes; }

bool IsFolder(const std::u16string& path) {
  const std::uint32_t attributes = GetPathAttributes(path.c_str());
  return attributes != kInvalidAttributes && (attributes & kAttributeDirectory) != 0;
}

enum class JournalState { Staging, Switching, Committed };

// What a journal holds. Lines: "O name"/"N name" a target of the switch with/without an old file,
// "S name" a staged file that may stand, "T folder" a folder that staged files were put in (any
// "<name>.qvtmp" there may be one; "T " is the folder itself), "D name" a folder made for the
// update, "K name" a kept-aside file still to delete (one in use could not go yet).
struct Journal {
  JournalState state = JournalState::Committed;
  std::vector<StagedFile> files;
  std::vector<std::u16string> staged;
  std::vector<std::u16string> stagingFolders;
  std::vector<std::u16string> folders;
  std::vector<std::u16string> keptAside;
  bool unusable = false;  // a line that is not ours, or names what no repair can act on
  bool HasWaste() const { return !staged.empty() || !keptAside.empty(); }
};

const char* StateText(JournalState state) {
  return state == JournalState::Staging     ? kStagingState
         : state == JournalState::Switching ? kSwitchingState
                                            : kCommittedState;
}

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

// A file call, retried while another program holds the file; a file that needed it is named once.
template <typename Call>
bool Attempt(HeldFileReports& reports, std::int32_t index, const char16_t* name, Call call) {
  HoldRetry retry;
  if (!reports.retry) retry.boundMs = 0;
  if (!RetryWhileHeld(retry, call)) return false;
  if (retry.waited && reports.named.insert(name).second) ReportTo(reports.reporter, index, kUnzipFileHeld, name);
  return true;
}

enum class JournalRead { None, Read, Held, NotOurs };

// The journal in folder. Held: it exists but cannot be opened or read now; it stays for later.
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

// Written whole beside the journal, on the disk, then moved over it: the journal is always one
// complete version.
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

// Holds the folders between folder and a name's file, so that no rename or delete below them can
// be sent through a link that replaced one meanwhile. Missing: a folder on the way is not there,
// so neither is the file.
struct ParentHold {
  HeldFolders held;
  std::u16string folders;  // what is held, relative
};

FolderHold HoldParents(ParentHold& hold, const char16_t* folder, const std::u16string& name) {
  const std::size_t cut = name.find_last_of(u"\\/");
  const std::u16string parents = cut == std::u16string::npos ? std::u16string() : name.substr(0, cut);
  if (parents == hold.folders && (parents.empty() || hold.held.count > 0)) return FolderHold::Held;
  hold.held.Clear();
  hold.folders = parents;
  if (parents.empty()) return FolderHold::Held;
  std::u16string path = PathOf(folder, parents);
  const auto from = static_cast<std::uint32_t>(path.size() - parents.size());
  const FolderHold result = HoldFolders(&path[0], from, static_cast<std::uint32_t>(path.size()), false, hold.held);
  if (result != FolderHold::Held) {
    hold.held.Clear();
    hold.folders.clear();
  }
  return result;
}

// One run over the folder: the switch of an update, or the repair of what an earlier run left.
struct SwitchRun {
  SwitchRun(const char16_t* folderPath, HeldFileReports& holds) : folder(folderPath), reports(holds) {}
  const char16_t* folder;
  HeldFileReports& reports;
  std::vector<StagedFile>* files = nullptr;
  ParentHold hold;
  bool unusable = false;  // a name led below a link or to a folder: not acted on, the journal goes aside
};

// The steps of a switch, in order. Each knows its undo (UndoStep); RollBack is the one place that
// takes steps back, in reverse, for a switch that failed now and for one a crash interrupted.
enum class StepKind { CheckTargets, WriteJournal, FlushStaged, SetAside, MoveIn, Commit };
struct Step {
  StepKind kind;
  std::size_t file = 0;
};

enum class Undo { Done, CannotAct, Failed };

// The three names of one file: its target, its staged file and its kept-aside file, with the
// folders above them held.
struct FileNames {
  std::u16string target, staged, kept;
};

enum class Reach { Ready, Missing, BelowLink };

Reach ReachFile(SwitchRun& run, const std::u16string& name, FileNames* names) {
  const FolderHold held = HoldParents(run.hold, run.folder, name);
  if (held == FolderHold::Missing) return Reach::Missing;
  if (held != FolderHold::Held) return Reach::BelowLink;
  names->target = PathOf(run.folder, name);
  names->staged = names->target + kUnzipTemporarySuffix;
  names->kept = names->target + kUnzipKeptAsideSuffix;
  return Reach::Ready;
}

// For the undo of a step, which may follow a crash: the names must lead to files, or no further
// than a missing folder. CannotAct when they lead below a link or one of them is a folder.
Undo ReachForUndo(SwitchRun& run, const std::u16string& name, FileNames* names) {
  const Reach reach = ReachFile(run, name, names);
  if (reach == Reach::Missing) return Undo::Done;
  if (reach == Reach::BelowLink || IsFolder(names->target) || IsFolder(names->staged) || IsFolder(names->kept))
    return Undo::CannotAct;
  return Undo::Failed;  // not done yet: the caller acts on the names
}

// The new file goes back to its staged name, if it was moved in: its staged file is gone and its
// old file (if it had one) is set aside. A file at a new name that the switch did not put there stays.
Undo UndoMoveIn(SwitchRun& run, const StagedFile& file) {
  FileNames names;
  const Undo reach = ReachForUndo(run, file.name, &names);
  if (reach != Undo::Failed) return reach;
  const bool movedIn = !Exists(names.staged) && Exists(names.target) && (!file.hadOld || Exists(names.kept));
  if (!movedIn) return Undo::Done;
  return MoveHeldFile(run.reports, file.index, file.name.c_str(), names.target.c_str(), names.staged.c_str())
             ? Undo::Done
             : Undo::Failed;
}

// The old file returns to its name, if it was set aside.
Undo UndoSetAside(SwitchRun& run, const StagedFile& file) {
  FileNames names;
  const Undo reach = ReachForUndo(run, file.name, &names);
  if (reach != Undo::Failed) return reach;
  if (!Exists(names.kept)) return Undo::Done;
  return MoveHeldFile(run.reports, file.index, file.name.c_str(), names.kept.c_str(), names.target.c_str())
             ? Undo::Done
             : Undo::Failed;
}

Undo UndoStep(SwitchRun& run, const Step& step) {
  if (step.kind == StepKind::SetAside) return UndoSetAside(run, (*run.files)[step.file]);
  if (step.kind == StepKind::MoveIn) return UndoMoveIn(run, (*run.files)[step.file]);
  return Undo::Done;  // checks, flushes and journal versions change no file of the install
}

// Undoes steps [0, done) in reverse. False when a file could not be put back: the folder is a mix.
bool RollBack(SwitchRun& run, const std::vector<Step>& steps, std::size_t done) {
  bool whole = true;
  for (std::size_t i = done; i-- > 0;) {
    const Undo undo = UndoStep(run, steps[i]);
    if (undo == Undo::Failed) whole = false;
    if (undo == Undo::CannotAct) run.unusable = true;
  }
  run.hold.held.Clear();
  return whole;
}

// Deletes a staged or kept-aside file that is waste; false when it is still there (in use).
bool DeleteWaste(SwitchRun& run, const std::u16string& name, const char16_t* suffix) {
  FileNames names;
  const Reach reach = ReachFile(run, name, &names);
  const std::u16string path = names.target + suffix;
  if (reach == Reach::Ready && IsFolder(path)) run.unusable = true;
  if (reach == Reach::BelowLink) run.unusable = true;
  if (reach != Reach::Ready || !Exists(path) || IsFolder(path)) return true;
  return DeleteHeldFile(run.reports, -1, name.c_str(), path.c_str());
}

// Folders made for an update that did not happen, innermost first: an empty one goes; one that a
// link replaced, or that the user filled meanwhile, stays.
void RemoveMadeFolders(SwitchRun& run, const std::vector<std::u16string>& folders) {
  for (auto made = folders.rbegin(); made != folders.rend(); ++made) {
    const FolderHold held = HoldParents(run.hold, run.folder, *made);
    if (held != FolderHold::Held) {
      if (held != FolderHold::Missing) run.unusable = true;
      continue;
    }
    const std::u16string path = PathOf(run.folder, *made);
    const std::uint32_t attributes = GetPathAttributes(path.c_str());
    if (attributes == kInvalidAttributes || (attributes & kAttributeReparsePoint) != 0) continue;
    Attempt(run.reports, -1, made->c_str(), [&] { return RemoveEmptyFolder(path.c_str()); });
  }
  run.hold.held.Clear();
}

// Every staged file in a folder that a run staged into before it ended without its switch: the
// run named the folder, not each file, since a line per file costs every update a write per file.
// Staged names are reserved for this tool, so every "<name>.qvtmp" there is one of them.
void ClearStagedFilesIn(SwitchRun& run, const std::u16string& folder, Journal* left) {
  const FolderHold held = HoldParents(run.hold, run.folder, folder + u"\\");
  if (held != FolderHold::Held) {
    if (held != FolderHold::Missing) run.unusable = true;
    return;
  }
  const std::u16string path = folder.empty() ? std::u16string(run.folder) : PathOf(run.folder, folder);
  std::vector<std::u16string> names;
  ListPlainFiles(path.c_str(), &names);
  for (const std::u16string& name : names) {
    // A staged file's name: a target's name and ".qvtmp", in any case.
    const auto length = static_cast<std::uint32_t>(name.size());
    if (length <= kUnzipTemporarySuffixLength || !EndsWithNameSuffix(name.c_str(), length, kUnzipTemporarySuffix))
      continue;
    const std::u16string file = PathOf(path.c_str(), name);
    if (!DeleteHeldFile(run.reports, -1, name.c_str(), file.c_str())) {
      const std::u16string target = name.substr(0, length - kUnzipTemporarySuffixLength);
      left->staged.push_back(folder.empty() ? target : folder + u"\\" + target);
    }
  }
}

// Removes the waste of an update; answers what could not go yet, as a committed journal's lines.
Journal ClearWaste(SwitchRun& run, const std::vector<std::u16string>& staged,
                   const std::vector<std::u16string>& folders, const std::vector<std::u16string>& keptAside,
                   const std::vector<std::u16string>& stagingFolders = {}) {
  Journal left;
  for (const std::u16string& name : staged) {
    if (!DeleteWaste(run, name, kUnzipTemporarySuffix)) left.staged.push_back(name);
  }
  for (const std::u16string& folder : stagingFolders) ClearStagedFilesIn(run, folder, &left);
  for (const std::u16string& name : keptAside) {
    if (!DeleteWaste(run, name, kUnzipKeptAsideSuffix)) left.keptAside.push_back(name);
  }
  run.hold.held.Clear();
  RemoveMadeFolders(run, folders);
  // A folder that still holds waste is removed with it, later.
  if (left.HasWaste()) left.folders = folders;
  return left;
}

// The journal after a run: set aside first when it named what could not be acted on, then
// rewritten with the waste that is left, or removed when there is none.
bool FinishJournal(SwitchRun& run, const Journal& left, bool setAside) {
  const std::u16string path = PathOf(run.folder, kUnzipJournalName);
  if (setAside) {
    const std::u16string unusable = PathOf(run.folder, kUnusableJournalName);
    if (Exists(unusable) && !IsFolder(unusable))
      DeleteHeldFile(run.reports, -1, kUnusableJournalName, unusable.c_str());
    const bool moved = IsFolder(path)
                           ? MoveFolder(path.c_str(), unusable.c_str())
                           : MoveHeldFile(run.reports, -1, kUnzipJournalName, path.c_str(), unusable.c_str());
    ReportTo(run.reports.reporter, -1, kUnzipJournalSetAside, run.folder);
    if (!moved) return false;
  }
  if (left.HasWaste()) return WriteJournal(run.reports, run.folder, left);
  return !Exists(path) || DeleteHeldFile(run.reports, -1, kUnzipJournalName, path.c_str());
}

// Every staged file on the disk before the first rename, so that a power cut cannot leave a
// target name on missing bytes: one flush of the whole file system where the platform has it,
// else file by file.
bool FlushStaged(SwitchRun& run) {
  if (FlushFileSystemOf(run.folder)) return true;
  for (const StagedFile& file : *run.files) {
    const std::u16string staged = PathOf(run.folder, file.name, kUnzipTemporarySuffix);
    if (!Attempt(run.reports, file.index, file.name.c_str(), [&] { return FlushFileAtPath(staged.c_str()); }))
      return false;
  }
  return true;
}

// A kept-aside file of one of the plan's names is an earlier switch's waste: it goes first, so
// that during this switch every kept-aside file of the plan is this switch's own. A folder at a
// file's name cannot be set aside and replaced like a file: the switch stops before it starts.
bool CheckTargets(SwitchRun& run) {
  for (StagedFile& file : *run.files) {
    FileNames names;
    const std::uint32_t attributes = ReachFile(run, file.name, &names) == Reach::Ready
                                         ? GetPathAttributes(names.target.c_str())
                                         : kAttributeDirectory;
    if ((attributes != kInvalidAttributes && (attributes & kAttributeDirectory) != 0) ||
        (Exists(names.kept) && !DeleteHeldFile(run.reports, file.index, file.name.c_str(), names.kept.c_str()))) {
      return ReportTo(run.reports.reporter, file.index, kUnzipMoveFailed, file.name.c_str());
    }
    file.hadOld = attributes != kInvalidAttributes;
  }
  return true;
}

bool MoveStep(SwitchRun& run, const StagedFile& file, bool setAside) {
  FileNames names;
  const bool moved =
      ReachFile(run, file.name, &names) == Reach::Ready &&
      (setAside ? MoveHeldFile(run.reports, file.index, file.name.c_str(), names.target.c_str(), names.kept.c_str())
                : MoveHeldFile(run.reports, file.index, file.name.c_str(), names.staged.c_str(), names.target.c_str()));
  return moved || ReportTo(run.reports.reporter, file.index, kUnzipMoveFailed, file.name.c_str());
}

// Journal versions of a switch: every target before the first rename; only waste once it is whole.
Journal SwitchingJournal(const SwitchRun& run, const SwitchPlan& plan, const StagingJournal& staging) {
  Journal journal;
  journal.state = JournalState::Switching;
  journal.files = *run.files;
  journal.folders = plan.createdFolders;
  journal.keptAside = staging.keptAside;
  return journal;
}

std::vector<std::u16string> KeptAsideAfterSwitch(const SwitchRun& run, const StagingJournal& staging) {
  std::vector<std::u16string> kept = staging.keptAside;
  for (const StagedFile& file : *run.files) {
    if (file.hadOld) kept.push_back(file.name);
  }
  return kept;
}

bool DoStep(SwitchRun& run, const Step& step, const SwitchPlan& plan, const StagingJournal& staging) {
  Journal committed;
  switch (step.kind) {
    case StepKind::CheckTargets:
      return CheckTargets(run);
    case StepKind::WriteJournal:
      return WriteJournal(run.reports, run.folder, SwitchingJournal(run, plan, staging)) ||
             ReportTo(run.reports.reporter, -1, kUnzipWriteFailed, run.folder);
    case StepKind::FlushStaged:
      return FlushStaged(run) || ReportTo(run.reports.reporter, -1, kUnzipWriteFailed, run.folder);
    case StepKind::SetAside:
      return !(*run.files)[step.file].hadOld || MoveStep(run, (*run.files)[step.file], true);
    case StepKind::MoveIn:
      return MoveStep(run, (*run.files)[step.file], false);
    case StepKind::Commit:
      // The new version is whole: from here on the old one is only waste to delete. Not recorded
      // as done, a crash now would take it back; so a failure takes it back now.
      committed.keptAside = KeptAsideAfterSwitch(run, staging);
      return WriteJournal(run.reports, run.folder, committed) ||
             ReportTo(run.reports.reporter, -1, kUnzipWriteFailed, run.folder);
  }
  return false;
}

// The steps that a switch of files takes, and that a crash may have left half done.
std::vector<Step> SwitchSteps(const std::vector<StagedFile>& files, bool withJournal) {
  std::vector<Step> steps;
  if (withJournal) steps = {{StepKind::CheckTargets}, {StepKind::WriteJournal}, {StepKind::FlushStaged}};
  // Whether a file had an old one is known only after the check: every file gets a set-aside step,
  // which changes nothing for a file without one.
  for (std::size_t i = 0; i < files.size(); ++i) steps.push_back({StepKind::SetAside, i});
  for (std::size_t i = 0; i < files.size(); ++i) steps.push_back({StepKind::MoveIn, i});
  if (withJournal) steps.push_back({StepKind::Commit});
  return steps;
}

std::vector<std::u16string> NamesOf(const std::vector<StagedFile>& files) {
  std::vector<std::u16string> names;
  for (const StagedFile& file : files) names.push_back(file.name);
  return names;
}

}  // namespace

PlatformFile CreateHeldFile(HeldFileReports& reports, std::int32_t index, const char16_t* name, const char16_t* path) {
  PlatformFile file = InvalidPlatformFile();
  Attempt(reports, index, name, [&] {
    file = CreateNewFile(path, kAttributeNormal);
    return IsValidPlatformFile(file);
  });
  return file;
}

bool MoveHeldFile(HeldFileReports& reports, std::int32_t index, const char16_t* name, const char16_t* from,
                  const char16_t* to) {
  return Attempt(reports, index, name, [&] { return MoveFileOver(from, to); });
}

bool DeleteHeldFile(HeldFileReports& reports, std::int32_t index, const char16_t* name, const char16_t* path) {
  return Attempt(reports, index, name, [&] { return DeletePlainFile(path); });
}

bool BeginStaging(const char16_t* folder, const UnzipReporter* reporter, StagingJournal& journal) {
  journal.folder = folder;
  journal.reporter = reporter;
  journal.holds.reporter = reporter;
  Journal existing;
  const JournalRead read = ReadJournal(journal.holds, folder, &existing);
  if (read == JournalRead::None) return true;
  // What the repair before could not settle: a switch not taken back, a journal held or not set aside.
  if (read != JournalRead::Read || existing.state != JournalState::Committed || existing.unusable)
    return ReportTo(reporter, -1, kUnzipSwitchNotRepaired, folder);
  journal.keptAside = existing.keptAside;
  journal.staged = existing.staged;
  journal.carriedStaged = existing.staged.size();
  journal.folders = existing.folders;
  return true;
}

namespace {

bool AppendNote(StagingJournal& journal, char kind, const std::u16string& name) {
  const std::string line = Utf8Line(kind, name);
  journal.broken = !WriteToFile(journal.file.Get(), line.data(), static_cast<std::uint32_t>(line.size()));
  return !journal.broken;
}

}  // namespace

bool NoteStaging(StagingJournal& journal, char kind, const std::u16string& name) {
  if (journal.broken) return false;
  HeldFileReports& reports = journal.holds;
  if (!journal.file.IsValid()) {
    // The first note: the journal, with what an earlier run left, replaces the last one whole;
    // then it grows by a line before each folder is made or first staged into.
    Journal staging;
    staging.state = JournalState::Staging;
    staging.staged = journal.staged;
    staging.folders = journal.folders;
    staging.keptAside = journal.keptAside;
    const std::u16string path = PathOf(journal.folder, kUnzipJournalName);
    journal.broken = !WriteJournal(reports, journal.folder, staging);
    if (!journal.broken) {
      Attempt(reports, -1, kUnzipJournalName, [&] {
        journal.file.Reset(OpenPlainFileForAppending(path.c_str()));
        return journal.file.IsValid();
      });
      journal.broken = !journal.file.IsValid();
    }
    if (journal.broken) return false;
  }
  if (kind == kNoteStagedFile) {
    // Each folder staged into is named once; a run of names in one folder checks it once.
    const std::size_t cut = name.find_last_of(u"\\/");
    const std::size_t length = cut == std::u16string::npos ? 0 : cut;
    const bool sameAsLast = journal.lastStagingFolder.size() == length &&
                            name.compare(0, length, journal.lastStagingFolder) == 0 && journal.stagingFolderNoted;
    if (!sameAsLast) {
      journal.lastStagingFolder.assign(name, 0, length);
      journal.stagingFolderNoted = true;
      if (journal.stagingFolders.insert(journal.lastStagingFolder).second &&
          !AppendNote(journal, kNoteStagingFolder, journal.lastStagingFolder))
        return false;
    }
    journal.staged.push_back(name);
    return true;
  }
  if (!AppendNote(journal, kind, name)) return false;
  journal.folders.push_back(name);
  return true;
}

bool SwitchStagedFiles(SwitchPlan& plan, StagingJournal& staging) {
  staging.file.Reset();  // every later version of the journal replaces it whole
  SwitchRun run(staging.folder, staging.holds);
  run.files = &plan.files;
  // Nothing to switch (an archive of folders only): only what an earlier run left is cleared.
  const std::vector<Step> steps = plan.files.empty() ? std::vector<Step>() : SwitchSteps(plan.files, true);
  std::size_t done = 0;
  while (done < steps.size() && DoStep(run, steps[done], plan, staging)) ++done;
  if (done == steps.size()) {
    const std::vector<std::u16string> carried(staging.staged.begin(), staging.staged.begin() + staging.carriedStaged);
    FinishJournal(run, ClearWaste(run, carried, {}, KeptAsideAfterSwitch(run, staging)), run.unusable);
    return true;
  }
  if (!RollBack(run, steps, done)) {
    // The journal of the switch stays: the next run takes it back, and the client is not started.
    ReportTo(staging.reporter, -1, kUnzipSwitchNotRepaired, staging.folder);
    return false;
  }
  FinishJournal(run, ClearWaste(run, staging.staged, staging.folders, staging.keptAside), run.unusable);
  return false;
}

void DiscardStagedFiles(StagingJournal& staging) {
  staging.file.Reset();
  staging.holds.retry = true;  // the update is off, but what it staged is waited for and removed
  SwitchRun run(staging.folder, staging.holds);
  if (staging.staged.empty() && staging.folders.empty() && staging.keptAside.empty() &&
      !Exists(PathOf(staging.folder, kUnzipJournalName)))
    return;
  FinishJournal(run, ClearWaste(run, staging.staged, staging.folders, staging.keptAside), run.unusable);
}

bool RepairInterruptedSwitch(const char16_t* folder, const UnzipReporter* reporter) {
  HeldFileReports holds;
  holds.reporter = reporter;
  SwitchRun run(folder, holds);
  Journal journal;
  const JournalRead read = ReadJournal(run.reports, folder, &journal);
  if (read == JournalRead::None) return true;
  if (read == JournalRead::Held) return ReportTo(reporter, -1, kUnzipSwitchNotRepaired, folder);
  const std::u16string path = PathOf(folder, kUnzipJournalName);
  if (read == JournalRead::NotOurs) return FinishJournal(run, Journal(), true) && !Exists(path);

  std::vector<std::u16string> staged = journal.staged;
  if (journal.state == JournalState::Switching) {
    run.files = &journal.files;
    const std::vector<Step> steps = SwitchSteps(journal.files, false);
    if (!RollBack(run, steps, steps.size())) return ReportTo(reporter, -1, kUnzipSwitchNotRepaired, folder);
    ReportTo(reporter, -1, kUnzipSwitchUndone, folder);
    const std::vector<std::u16string> names = NamesOf(journal.files);
    staged.insert(staged.end(), names.begin(), names.end());
  }
  return FinishJournal(run, ClearWaste(run, staged, journal.folders, journal.keptAside, journal.stagingFolders),
                       run.unusable || journal.unusable) &&
         !Exists(path);
}

bool FolderSwitchUnfinished(const char16_t* folder) {
  HeldFileReports reports;
  Journal journal;
  const JournalRead read = ReadJournal(reports, folder, &journal);
  return read == JournalRead::Held || (read == JournalRead::Read && journal.state == JournalState::Switching);
}
