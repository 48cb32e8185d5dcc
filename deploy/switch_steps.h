// The steps of a switch, in order. Each knows its undo (UndoStep); RollBack is the one place that
// takes steps back, in reverse, for a switch that failed now and for one a crash interrupted.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "deploy/parent_hold.h"
#include "deploy/switch_journal.h"

// One run over the folder: the switch of an update, or the repair of what an earlier run left.
struct SwitchRun {
  SwitchRun(const char16_t* folderPath, HeldFileReports& holds) : folder(folderPath), reports(holds) {}
  const char16_t* folder;
  HeldFileReports& reports;
  std::vector<StagedFile>* files = nullptr;
  // What the commit makes the folder's: its install record (null: the record stays as it is) and
  // the folders that releases made and the new version no longer has, to go once they are empty.
  const InstallRecord* record = nullptr;
  const std::vector<std::u16string>* droppedFolders = nullptr;
  ParentHold hold;
  bool unusable = false;  // a name led below a link or to a folder: not acted on, the journal goes aside
};

// Added: a file written at its own name while staging; the step changes nothing, its undo removes it.
enum class StepKind { Added, CheckTargets, WriteJournal, FlushStaged, SetAside, MoveIn, Commit };
struct Step {
  StepKind kind;
  std::size_t file = 0;
};

// The three names of one file: its target, its staged file and its kept-aside file, with the
// folders above them held.
struct FileNames {
  std::u16string target, staged, kept;
};

// NotNow: a folder on the way cannot be held at this moment; BelowLink: one is a link, for good.
enum class Reach { Ready, Missing, BelowLink, NotNow };

Reach ReachFile(SwitchRun& run, const std::u16string& name, FileNames* names);
// Undoes steps [0, done) in reverse. False when a file could not be put back now: the folder is a
// mix until a later run finishes it. What no run could undo (a link, a folder of somebody else's
// at a file's name) marks the run unusable instead: the folder may stay a mix for good.
bool RollBack(SwitchRun& run, const std::vector<Step>& steps, std::size_t done);
// Does one step; false when it failed (reported).
bool DoStep(SwitchRun& run, const Step& step, const StagingJournal& staging);
// The steps that a switch of files takes, and that a crash may have left half done.
std::vector<Step> SwitchSteps(const std::vector<StagedFile>& files, bool withJournal);
// The kept-aside files once the switch is whole: an earlier run's and this switch's old files.
std::vector<std::u16string> KeptAsideAfterSwitch(const SwitchRun& run, const StagingJournal& staging);
