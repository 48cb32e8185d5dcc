#include "deploy/folder_switch.h"

#include <utility>

#include "deploy/entry_names.h"
#include "deploy/switch_paths.h"

bool BeginStaging(const char16_t* folder, const UnzipReporter* reporter, StagingJournal& journal) {
  journal.folder = folder;
  journal.reporter = reporter;
  journal.holds.reporter = reporter;
  Journal existing;
  const JournalRead read = ReadJournal(journal.holds, folder, &existing);
  if (read == JournalRead::None) return true;
  // What the repair before could not settle: a switch not taken back, a journal held or not set
  // aside. A folder that may be mixed is what an update mends: it goes ahead over it.
  // A record still to be written is the folder's: an update over it would judge its files by the
  // last one.
  if (read != JournalRead::Read || existing.state != JournalState::Committed || existing.unusable || existing.hasRecord)
    return ReportTo(reporter, -1, kUnzipSwitchNotRepaired, folder);
  journal.keptAside = existing.keptAside;
  journal.staged = existing.staged;
  journal.carriedStaged = existing.staged.size();
  journal.folders = existing.folders;
  journal.carriedFolders = existing.folders.size();
  journal.carriedStagingFolders = existing.stagingFolders;
  journal.mixed = existing.mixed;
  return true;
}

namespace {

bool AppendNote(StagingJournal& journal, char kind, const std::u16string& name) {
  const std::string line = Utf8Line(kind, name);
  journal.written += line.size();
  journal.broken = journal.written > kLongestJournal ||
                   !WriteToFile(journal.file.Get(), line.data(), static_cast<std::uint32_t>(line.size()));
  return !journal.broken;
}

// Whether the folder may be mixed when this update does not arrive: it was before, or the undo
// of this switch met what it could not act on.
bool MixedWithoutUpdate(const StagingJournal& staging, const SwitchRun& run) { return staging.mixed || run.unusable; }

}  // namespace

bool NoteStaging(StagingJournal& journal, char kind, const std::u16string& name) {
  if (journal.broken) return false;
  HeldFileReports& reports = journal.holds;
  if (!journal.file.IsValid()) {
    // The first note: the journal, with what an earlier run left, replaces the last one whole;
    // then it grows by a line before each folder is made or first staged into.
    // A folder that may be mixed stays so in the journal's last version if this update fails:
    // a kill while staging leaves the staging journal, which the next run reads back as mixed.
    Journal staging = CarriedWaste(journal);
    staging.state = JournalState::Staging;
    staging.mixed = journal.mixed;
    const std::u16string path = PathOf(journal.folder, kUnzipJournalName);
    journal.written = JournalText(staging).size();
    journal.broken = !WriteJournal(reports, journal.folder, staging);
    if (!journal.broken) {
      Attempt(reports, -1, kUnzipJournalName, path.c_str(), [&] {
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
  if (kind == kNoteMadeFolder) journal.folders.push_back(name);
  return true;
}

namespace {

// Once the switch is whole: what it did, counted, and each dropped file reported.
void CountSwitch(const SwitchPlan& plan, const StagingJournal& staging) {
  UnzipCounts counts;
  counts.untouched = plan.untouched;
  for (const StagedFile& file : plan.files) {
    if (file.change == FileChange::Dropped) {
      if (!file.hadOld) continue;  // gone before the switch reached it
      ++counts.removed;
      ReportTo(staging.reporter, -1, kUnzipFileRemoved, file.name.c_str());
    } else if (file.hadOld) {
      ++counts.replaced;
    } else {
      ++counts.added;
    }
  }
  if (staging.reporter != nullptr && staging.reporter->counts != nullptr) *staging.reporter->counts = counts;
}

std::vector<std::u16string> Joined(std::vector<std::u16string> first, const std::vector<std::u16string>& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

}  // namespace

bool SwitchStagedFiles(SwitchPlan& plan, StagingJournal& staging) {
  staging.file.Reset();  // every later version of the journal replaces it whole
  SwitchRun run(staging.folder, staging.holds);
  run.files = &plan.files;
  run.record = plan.recordChanged ? &plan.record : nullptr;
  run.droppedFolders = &plan.droppedFolders;
  // Nothing to switch (every file already right, or an archive of folders only): only the record
  // and what an earlier run left are seen to.
  const std::vector<Step> steps = plan.files.empty() ? std::vector<Step>() : SwitchSteps(plan.files, true);
  std::size_t done = 0;
  while (done < steps.size() && DoStep(run, steps[done], staging)) ++done;
  if (done == steps.size()) {
    // The record follows the commit: a crash before it is written leaves the committed journal,
    // which carries it, so the record never describes a version the folder does not hold.
    const bool recordLeft = plan.recordChanged && !WriteInstallRecord(run.reports, run.folder, plan.record);
    CountSwitch(plan, staging);
    const Journal carried = CarriedWaste(staging);
    Journal left = ClearWaste(run, carried.staged, Joined(carried.folders, plan.droppedFolders),
                              KeptAsideAfterSwitch(run, staging), carried.stagingFolders);
    left.hasRecord = recordLeft;
    if (recordLeft) left.record = plan.record;
    // A version whose files were all proven here (switched or found right) is whole; an archive
    // without a file proves nothing, and leaves a mixed folder as mixed as it was.
    left.mixed = plan.record.files.empty() && staging.mixed;
    FinishJournal(run, left, run.unusable);
    return true;
  }
  if (!RollBack(run, steps, done)) {
    // The journal of the switch stays: the next run takes it back, and the client is not started.
    ReportTo(staging.reporter, -1, kUnzipSwitchNotRepaired, staging.folder);
    return false;
  }
  Journal left = ClearWaste(run, staging.staged, staging.folders, staging.keptAside, staging.carriedStagingFolders);
  left.mixed = MixedWithoutUpdate(staging, run);
  FinishJournal(run, left, run.unusable);
  return false;
}

void DiscardStagedFiles(const SwitchPlan& plan, StagingJournal& staging) {
  staging.file.Reset();
  staging.holds.retry = true;  // the update is off, but what it staged is waited for and removed
  SwitchRun run(staging.folder, staging.holds);
  if (staging.staged.empty() && staging.folders.empty() && staging.keptAside.empty() &&
      staging.carriedStagingFolders.empty() && plan.files.empty() && !Exists(PathOf(staging.folder, kUnzipJournalName)))
    return;
  // Staged files are named by staging itself; of the plan only the added files exist yet.
  std::vector<StagedFile> added;
  for (const StagedFile& file : plan.files) {
    if (file.change == FileChange::Added) added.push_back(file);
  }
  run.files = &added;
  const std::vector<Step> steps = SwitchSteps(added, false);
  const bool whole = RollBack(run, steps, steps.size());
  // Folders that still hold an added file are removed with it, later.
  Journal left = ClearWaste(run, staging.staged, whole ? staging.folders : std::vector<std::u16string>(),
                            staging.keptAside, staging.carriedStagingFolders);
  left.mixed = MixedWithoutUpdate(staging, run);
  if (!whole) {
    // Only the added files this run made are named again, for the next run to remove: a line
    // noted for a file that could not be created names somebody else's.
    ReportTo(staging.reporter, -1, kUnzipSwitchNotRepaired, staging.folder);
    left.state = JournalState::Staging;
    left.files = added;
    left.folders = staging.folders;
  }
  FinishJournal(run, left, run.unusable);
}
