// The switch from the installed files to the staged ones, all or nothing. Every file of an update
// is first staged beside its target ("<name>.qvtmp", whole and on the disk); only then are the
// targets replaced: each existing target is first set aside ("<name>.qvold", a rename in the same
// folder), then every staged file takes its target's name. A failure at any point puts every file
// back as it was. The journal (switch_journal.h) lets the next run finish what a crash left.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "deploy/switch_repair.h"

struct SwitchPlan {
  std::vector<StagedFile> files;
  std::vector<std::u16string> createdFolders;  // relative, outermost first: removed when nothing is switched
  // The new version's install record, written once the switch is whole when it differs from the
  // folder's; and the folders releases made that the new version no longer has.
  InstallRecord record;
  bool recordChanged = false;
  std::vector<std::u16string> droppedFolders;
  std::uint32_t untouched = 0;  // file entries already right on the disk
};

// False when the folder holds a switch that could not be taken back or a journal that cannot be
// read now (reported): no update may start over it.
bool BeginStaging(const char16_t* folder, const UnzipReporter* reporter, StagingJournal& journal);
// Records name (relative to the folder) before the staged file, added file or folder is made; false
// when the journal cannot take it. A staged file is recorded by its folder, once per folder; an
// added file by its own line, since nothing in its name says it is the update's.
bool NoteStaging(StagingJournal& journal, char kind, const std::u16string& name);

// Replaces every target of plan with its staged file, sets its dropped files aside and keeps its
// added ones, or none of that: on failure it reports the file that stopped it, and every target,
// staged file and created folder is as before the update. Once whole, it writes the plan's record,
// removes the dropped files (each reported) and the dropped folders that are empty, and counts
// what it did for the reporter.
bool SwitchStagedFiles(SwitchPlan& plan, StagingJournal& journal);
// Removes what staging made: every staged file noted and every added file of plan, then the
// folders made, innermost first.
void DiscardStagedFiles(const SwitchPlan& plan, StagingJournal& journal);
