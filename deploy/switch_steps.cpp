#include "deploy/switch_steps.h"

#include "deploy/entry_names.h"
#include "deploy/switch_paths.h"

Reach ReachFile(SwitchRun& run, const std::u16string& name, FileNames* names) {
  const FolderHold held = HoldParents(run.hold, run.folder, name);
  if (held == FolderHold::Missing) return Reach::Missing;
  if (held == FolderHold::Link) return Reach::BelowLink;
  // Shared, denied, out of handles, a file where a folder should be: all of that may pass.
  if (held != FolderHold::Held) return Reach::NotNow;
  names->target = PathOf(run.folder, name);
  names->staged = names->target + kUnzipTemporarySuffix;
  names->kept = names->target + kUnzipKeptAsideSuffix;
  return Reach::Ready;
}

namespace {

// Pending: the names are ready and the caller acts on them. NotNow: the step is not undone, but
// may be by a later run. CannotAct: no run ever could, as what stands there is not the switch's.
enum class Undo { Done, CannotAct, NotNow, Pending };

// For the undo of a step, which may follow a crash: the names must lead to files, or no further
// than a missing folder. CannotAct when they lead below a link or one of them is a folder: the
// switch renames files only, so a folder there is somebody else's.
Undo ReachForUndo(SwitchRun& run, const std::u16string& name, FileNames* names) {
  const Reach reach = ReachFile(run, name, names);
  if (reach == Reach::Missing) return Undo::Done;
  if (reach == Reach::NotNow) return Undo::NotNow;
  if (reach == Reach::BelowLink || IsFolder(names->target) || IsFolder(names->staged) || IsFolder(names->kept))
    return Undo::CannotAct;
  return Undo::Pending;
}

// The new file goes back to its staged name, if it was moved in: its staged file is gone and its
// old file (if it had one) is set aside. A file at a new name that the switch did not put there stays.
Undo UndoMoveIn(SwitchRun& run, const StagedFile& file) {
  FileNames names;
  const Undo reach = ReachForUndo(run, file.name, &names);
  if (reach != Undo::Pending) return reach;
  const bool movedIn = !Exists(names.staged) && Exists(names.target) && (!file.hadOld || Exists(names.kept));
  if (!movedIn) return Undo::Done;
  return MoveHeldFile(run.reports, file.index, file.name.c_str(), names.target.c_str(), names.staged.c_str())
             ? Undo::Done
             : Undo::NotNow;
}

// The old file returns to its name, if it was set aside.
Undo UndoSetAside(SwitchRun& run, const StagedFile& file) {
  FileNames names;
  const Undo reach = ReachForUndo(run, file.name, &names);
  if (reach != Undo::Pending) return reach;
  if (!Exists(names.kept)) return Undo::Done;
  return MoveHeldFile(run.reports, file.index, file.name.c_str(), names.kept.c_str(), names.target.c_str())
             ? Undo::Done
             : Undo::NotNow;
}

// A file written at its own name where nothing stood goes: it exists only through this update.
Undo UndoAdded(SwitchRun& run, const StagedFile& file) {
  FileNames names;
  const Undo reach = ReachForUndo(run, file.name, &names);
  if (reach != Undo::Pending) return reach;
  if (!Exists(names.target)) return Undo::Done;
  return DeleteHeldFile(run.reports, file.index, file.name.c_str(), names.target.c_str()) ? Undo::Done : Undo::NotNow;
}

Undo UndoStep(SwitchRun& run, const Step& step) {
  if (step.kind == StepKind::Added) return UndoAdded(run, (*run.files)[step.file]);
  if (step.kind == StepKind::SetAside) return UndoSetAside(run, (*run.files)[step.file]);
  if (step.kind == StepKind::MoveIn) return UndoMoveIn(run, (*run.files)[step.file]);
  return Undo::Done;  // checks, flushes and journal versions change no file of the install
}

}  // namespace

bool RollBack(SwitchRun& run, const std::vector<Step>& steps, std::size_t done) {
  bool whole = true;
  for (std::size_t i = done; i-- > 0;) {
    const Undo undo = UndoStep(run, steps[i]);
    if (undo == Undo::NotNow) whole = false;
    if (undo == Undo::CannotAct) run.unusable = true;
  }
  run.hold.held.Clear();
  return whole;
}

namespace {

// Every staged file on the disk before the first rename, so that a power cut cannot leave a
// target name on missing bytes: one flush of the whole file system where the platform has it,
// else file by file.
bool FlushStaged(SwitchRun& run) {
  if (FlushFileSystemOf(run.folder)) return true;
  for (const StagedFile& file : *run.files) {
    if (file.change == FileChange::Dropped) continue;
    const std::u16string staged =
        PathOf(run.folder, file.name, file.change == FileChange::Added ? u"" : kUnzipTemporarySuffix);
    if (!Attempt(run.reports, file.index, file.name.c_str(), staged.c_str(),
                 [&] { return FlushFileAtPath(staged.c_str()); }))
      return false;
  }
  return true;
}

// A kept-aside file of one of the plan's names is an earlier switch's waste: it goes first, so
// that during this switch every kept-aside file of the plan is this switch's own. A folder at a
// file's name cannot be set aside and replaced like a file: the switch stops before it starts.
bool CheckTargets(SwitchRun& run) {
  for (StagedFile& file : *run.files) {
    if (file.change == FileChange::Added) continue;  // written where nothing stood, and still ours
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
// Each carries all the waste an earlier run left that is not gone yet.
Journal SwitchingJournal(const SwitchRun& run, const StagingJournal& staging) {
  Journal journal = CarriedWaste(staging);
  journal.state = JournalState::Switching;
  journal.files = *run.files;
  journal.folders = staging.folders;  // the earlier run's and this one's
  journal.mixed = staging.mixed;      // taken back, the folder is what it was
  return journal;
}

}  // namespace

std::vector<std::u16string> KeptAsideAfterSwitch(const SwitchRun& run, const StagingJournal& staging) {
  std::vector<std::u16string> kept = staging.keptAside;
  for (const StagedFile& file : *run.files) {
    if (file.hadOld) kept.push_back(file.name);
  }
  return kept;
}

// The journal once the new version is whole: only waste to delete, the earlier run's and this one's,
// the dropped folders, and the new version's record until it is written.
Journal CommittedJournal(const SwitchRun& run, const StagingJournal& staging) {
  Journal journal = CarriedWaste(staging);
  journal.keptAside = KeptAsideAfterSwitch(run, staging);
  if (run.droppedFolders != nullptr)
    journal.folders.insert(journal.folders.end(), run.droppedFolders->begin(), run.droppedFolders->end());
  journal.hasRecord = run.record != nullptr;
  if (run.record != nullptr) journal.record = *run.record;
  return journal;
}

bool DoStep(SwitchRun& run, const Step& step, const StagingJournal& staging) {
  switch (step.kind) {
    case StepKind::Added:
      return true;
    case StepKind::CheckTargets:
      return CheckTargets(run);
    case StepKind::WriteJournal:
      return WriteJournal(run.reports, run.folder, SwitchingJournal(run, staging)) ||
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
      return WriteJournal(run.reports, run.folder, CommittedJournal(run, staging)) ||
             ReportTo(run.reports.reporter, -1, kUnzipWriteFailed, run.folder);
  }
  return false;
}

std::vector<Step> SwitchSteps(const std::vector<StagedFile>& files, bool withJournal) {
  std::vector<Step> steps;
  // Added files stand at their names before the switch begins: whatever step fails, they go.
  std::vector<std::size_t> others;
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (files[i].change == FileChange::Added) {
      steps.push_back({StepKind::Added, i});
    } else {
      others.push_back(i);
    }
  }
  // Only added files: nothing is renamed, and the staging journal already names every one of
  // them for a repair, so the switch needs no journal of its own before the commit.
  if (withJournal && !others.empty()) {
    steps.push_back({StepKind::CheckTargets});
    steps.push_back({StepKind::WriteJournal});
  }
  if (withJournal) steps.push_back({StepKind::FlushStaged});
  // Whether a file had an old one is known only after the check: every file gets a set-aside step,
  // which changes nothing for a file without one.
  for (const std::size_t i : others) steps.push_back({StepKind::SetAside, i});
  for (const std::size_t i : others) {
    if (files[i].change == FileChange::Staged) steps.push_back({StepKind::MoveIn, i});
  }
  if (withJournal) steps.push_back({StepKind::Commit});
  return steps;
}
