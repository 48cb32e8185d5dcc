#include "deploy/switch_repair.h"

#include "deploy/entry_names.h"
#include "deploy/switch_paths.h"

namespace {

// Deletes a staged or kept-aside file that is waste; false when it is still there (in use, or its
// folder cannot be held now): it stays listed until it is gone. A name that leads below a link is
// not the tool's to act on, ever. A folder at the name is no file the tool staged or set aside
// (an earlier version installed folder entries of such names): an empty one goes, since it would
// keep its entry from ever being staged again, and one that holds anything stays.
bool DeleteWaste(SwitchRun& run, const std::u16string& name, const char16_t* suffix) {
  FileNames names;
  const Reach reach = ReachFile(run, name, &names);
  if (reach == Reach::Missing) return true;
  if (reach == Reach::NotNow) return false;
  if (reach == Reach::BelowLink) {
    run.unusable = true;
    return true;
  }
  const std::u16string path = names.target + suffix;
  const std::uint32_t attributes = GetPathAttributes(path.c_str());
  if (attributes == kInvalidAttributes) return true;
  if ((attributes & kAttributeDirectory) == 0) return DeleteHeldFile(run.reports, -1, name.c_str(), path.c_str());
  if ((attributes & kAttributeReparsePoint) == 0) RemoveEmptyFolder(path.c_str());
  return true;
}

// Folders made for an update that did not happen, innermost first: an empty one goes; one that a
// link replaced, or that the user filled meanwhile, stays and is no waste any more. Answers those
// that are still to go, outermost first: held by another program, or not reachable now.
std::vector<std::u16string> RemoveMadeFolders(SwitchRun& run, const std::vector<std::u16string>& folders) {
  std::vector<std::u16string> left;
  for (auto made = folders.rbegin(); made != folders.rend(); ++made) {
    const FolderHold held = HoldParents(run.hold, run.folder, *made);
    if (held == FolderHold::Link) run.unusable = true;
    if (held == FolderHold::Failed) left.insert(left.begin(), *made);
    if (held != FolderHold::Held) continue;
    const std::u16string path = PathOf(run.folder, *made);
    const std::uint32_t attributes = GetPathAttributes(path.c_str());
    if (attributes == kInvalidAttributes || (attributes & kAttributeReparsePoint) != 0) continue;
    if (!Attempt(run.reports, -1, made->c_str(), path.c_str(), [&] { return RemoveEmptyFolder(path.c_str()); }) &&
        LastFailureWasHold())
      left.insert(left.begin(), *made);
  }
  run.hold.held.Clear();
  return left;
}

// Every staged file in a folder that a run staged into before it ended without its switch: the
// run named the folder, not each file, since a line per file costs every update a write per file.
// Staged names are reserved for this tool, so every "<name>.qvtmp" there is one of them. A folder
// that cannot be held or listed now stays listed.
void ClearStagedFilesIn(SwitchRun& run, const std::u16string& folder, Journal* left) {
  const FolderHold held = HoldParents(run.hold, run.folder, folder + u"\\");
  if (held == FolderHold::Link) run.unusable = true;
  if (held == FolderHold::Failed) left->stagingFolders.push_back(folder);
  if (held != FolderHold::Held) return;
  const std::u16string path = folder.empty() ? std::u16string(run.folder) : PathOf(run.folder, folder);
  std::vector<std::u16string> names;
  if (!ListPlainFiles(path.c_str(), &names)) {
    if (Exists(path)) left->stagingFolders.push_back(folder);
    return;
  }
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

// The names a journal can be set aside under: the usual one, then numbered ones. A file there is
// an earlier set-aside journal and is replaced; a folder is passed over, so that nothing standing
// there can keep a journal in place.
constexpr int kSetAsideNames = 99;

std::u16string SetAsidePath(const char16_t* folder) {
  for (int number = 1; number <= kSetAsideNames; ++number) {
    std::u16string name = kUnusableJournalName;
    if (number > 1) {
      name += u'.';
      if (number >= 10) name += static_cast<char16_t>(u'0' + number / 10);
      name += static_cast<char16_t>(u'0' + number % 10);
    }
    const std::u16string path = PathOf(folder, name);
    if (!IsFolder(path)) return path;
  }
  return std::u16string();
}

// A copy of what was read when there is one: the journal itself is then replaced in one step, so a
// crash can never leave the folder without the journal that says it may be mixed.
bool CopyJournalAside(SwitchRun& run, const std::string& text, const std::u16string& aside) {
  if (Exists(aside) && !DeleteHeldFile(run.reports, -1, kUnusableJournalName, aside.c_str())) return false;
  ScopedPlatformFile file(CreateHeldFile(run.reports, -1, kUnusableJournalName, aside.c_str()));
  return file.IsValid() && WriteToFile(file.Get(), text.data(), static_cast<std::uint32_t>(text.size())) &&
         FlushFile(file.Get());
}

bool SetJournalAside(SwitchRun& run, const std::string& text) {
  const std::u16string path = PathOf(run.folder, kUnzipJournalName);
  const std::u16string aside = SetAsidePath(run.folder);
  if (aside.empty()) return false;
  bool moved = false;
  if (IsFolder(path)) {
    moved = (!Exists(aside) || DeleteHeldFile(run.reports, -1, kUnusableJournalName, aside.c_str())) &&
            MoveFolder(path.c_str(), aside.c_str());
  } else if (!text.empty()) {
    moved = CopyJournalAside(run, text, aside);
  } else {
    moved = MoveHeldFile(run.reports, -1, kUnzipJournalName, path.c_str(), aside.c_str());
  }
  if (moved) ReportTo(run.reports.reporter, -1, kUnzipJournalSetAside, run.folder);
  return moved;
}

}  // namespace

Journal ClearWaste(SwitchRun& run, const std::vector<std::u16string>& staged,
                   const std::vector<std::u16string>& folders, const std::vector<std::u16string>& keptAside,
                   const std::vector<std::u16string>& stagingFolders) {
  Journal left;
  for (const std::u16string& name : staged) {
    if (!DeleteWaste(run, name, kUnzipTemporarySuffix)) left.staged.push_back(name);
  }
  for (const std::u16string& folder : stagingFolders) ClearStagedFilesIn(run, folder, &left);
  for (const std::u16string& name : keptAside) {
    if (!DeleteWaste(run, name, kUnzipKeptAsideSuffix)) left.keptAside.push_back(name);
  }
  run.hold.held.Clear();
  const bool wasteLeft = left.HasWaste();
  left.folders = RemoveMadeFolders(run, folders);
  // A folder that still holds waste is removed with it, later.
  if (wasteLeft) left.folders = folders;
  return left;
}

bool FinishJournal(SwitchRun& run, const Journal& left, bool setAside, const std::string& text) {
  const std::u16string path = PathOf(run.folder, kUnzipJournalName);
  if (setAside && !SetJournalAside(run, text)) return false;
  if (left.HasWaste() || left.mixed) return WriteJournal(run.reports, run.folder, left);
  return !Exists(path) || DeleteHeldFile(run.reports, -1, kUnzipJournalName, path.c_str());
}

namespace {

// A journal or record written whole is made the folder's only by its rename: a temporary one that
// a kill left mid-write is nothing, and an update that finds every file right writes neither file
// to remove it as a side effect.
void DeleteWholeFileTemporaries(HeldFileReports& reports, const char16_t* folder) {
  for (const char16_t* name : {kUnzipJournalName, kInstallRecordName}) {
    const std::u16string temporary = PathOf(folder, name, kUnzipTemporarySuffix);
    const std::uint32_t attributes = GetPathAttributes(temporary.c_str());
    if (attributes != kInvalidAttributes && (attributes & kAttributeDirectory) == 0)
      DeleteHeldFile(reports, -1, name, temporary.c_str());
  }
}

}  // namespace

bool RepairInterruptedSwitch(const char16_t* folder, const UnzipReporter* reporter) {
  HeldFileReports holds;
  holds.reporter = reporter;
  SwitchRun run(folder, holds);
  DeleteWholeFileTemporaries(run.reports, folder);
  Journal journal;
  const JournalRead read = ReadJournal(run.reports, folder, &journal);
  if (read == JournalRead::None) return true;
  if (read == JournalRead::Held) return ReportTo(reporter, -1, kUnzipSwitchNotRepaired, folder);
  const std::u16string path = PathOf(folder, kUnzipJournalName);
  if (read == JournalRead::NotOurs) return FinishJournal(run, Journal(), true) && !Exists(path);

  std::vector<std::u16string> staged = journal.staged;
  // Lines lost to a power cut may have named files written at their own names: they may stand
  // beside the old version, unknown, until an update is whole.
  bool mixed = journal.mixed || journal.linesLost;
  if (journal.linesLost) ReportTo(reporter, -1, kUnzipSwitchNotRepaired, folder);
  // A staging journal names the files written at their own names; a switching one every target.
  if (journal.state != JournalState::Committed && !journal.files.empty()) {
    run.files = &journal.files;
    const std::vector<Step> steps = SwitchSteps(journal.files, false);
    if (!RollBack(run, steps, steps.size())) return ReportTo(reporter, -1, kUnzipSwitchNotRepaired, folder);
    // A line that is not ours may have named a file that was switched, and what stands below a
    // link was not put back: either way the folder may stay a mix until an update is whole.
    mixed = mixed || run.unusable || journal.unusable;
    if (journal.state == JournalState::Switching)
      ReportTo(reporter, -1, mixed ? kUnzipSwitchNotRepaired : kUnzipSwitchUndone, folder);
    for (const StagedFile& file : journal.files) {
      if (file.change == FileChange::Staged) staged.push_back(file.name);
    }
  }
  // The new version is whole: its record is written before the journal that carries it goes.
  const bool recordLeft = journal.state == JournalState::Committed && journal.hasRecord && !journal.unusable &&
                          !WriteInstallRecord(run.reports, folder, journal.record);
  Journal left = ClearWaste(run, staged, journal.folders, journal.keptAside, journal.stagingFolders);
  left.mixed = mixed;
  left.hasRecord = recordLeft;
  if (recordLeft) left.record = journal.record;
  return FinishJournal(run, left, run.unusable || journal.unusable, journal.text) && !Exists(path);
}

bool FolderSwitchUnfinished(const char16_t* folder) {
  HeldFileReports reports;
  Journal journal;
  const JournalRead read = ReadJournal(reports, folder, &journal);
  // A staging journal that names files written at their own names: the new version's files stand
  // beside the old one's until a repair removes them.
  const bool addedFiles = journal.state == JournalState::Staging && !journal.files.empty();
  return read == JournalRead::Held ||
         (read == JournalRead::Read && (journal.state == JournalState::Switching || addedFiles || journal.mixed));
}
