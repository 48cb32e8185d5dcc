// The switch from the installed files to the staged ones, all or nothing. Every file of an update
// is first staged beside its target ("<name>.qvtmp", whole and on the disk); only then are the
// targets replaced: each existing target is first set aside ("<name>.qvold", a rename in the same
// folder), then every staged file takes its target's name. A failure at any point puts every file
// back as it was. A journal in the folder ("Quorvane.qvjournal", on the disk before the first
// rename) lets the next run take back a switch that a crash or power cut interrupted.
#pragma once

#include <string>
#include <vector>

#include "deploy/unzip_report.h"

struct StagedFile {
  std::u16string name;      // relative to the folder, as the entry names it
  bool hadOld = false;      // a file stood at the target when the switch began
  std::int32_t index = -1;  // the entry, for reports
};

struct SwitchPlan {
  std::vector<StagedFile> files;
  std::vector<std::u16string> createdFolders;  // relative, outermost first: removed when nothing is switched
};

// Replaces every target of plan with its staged file, or none of them: on failure it reports the
// file that stopped it, and every target, staged file and created folder is as before the update.
bool SwitchStagedFiles(const char16_t* folder, SwitchPlan& plan, const UnzipReporter* reporter);
// Removes what staging made for plan: the staged files, then the folders it created, innermost first.
void DiscardStagedFiles(const char16_t* folder, const SwitchPlan& plan);
// Takes back a switch that was interrupted (the old files return, the new ones go) and removes the
// kept-aside files of a finished one. True when no journal remains: nothing is left to repair.
bool RepairInterruptedSwitch(const char16_t* folder, const UnzipReporter* reporter);
// Whether folder may hold a mix of two versions: a journal of a switch that was neither finished
// nor taken back stands in it, or one that cannot be read now. A mixed client must not be started.
bool FolderSwitchUnfinished(const char16_t* folder);
