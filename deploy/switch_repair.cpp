#include "deploy/switch_repair.h"

#include "deploy/entry_names.h"
#include "deploy/switch_paths.h"

namespace {

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
  RemoveMadeFolders(run, folders);
  // A folder that still holds waste is removed with it, later.
  if (left.HasWaste()) left.folders = folders;
  return left;
}

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
