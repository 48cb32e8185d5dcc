// What an update leaves besides its files (staged and kept-aside files, made folders, its journal)
// is cleared here, and what an earlier run left unfinished is repaired.
#pragma once

#include <string>
#include <vector>

#include "deploy/switch_steps.h"

// Removes the waste of an update; answers what could not go yet, as a committed journal's lines:
// nothing that is not gone is dropped from them.
Journal ClearWaste(SwitchRun& run, const std::vector<std::u16string>& staged,
                   const std::vector<std::u16string>& folders, const std::vector<std::u16string>& keptAside,
                   const std::vector<std::u16string>& stagingFolders = {});
// The journal after a run: set aside first when it named what could not be acted on, then
// rewritten with the waste that is left, or removed when there is none.
// Set aside, it is kept under a free name (a copy of text, the journal as read, when given). A
// journal that cannot be set aside now stays as it is, and the answer is false.
bool FinishJournal(SwitchRun& run, const Journal& left, bool setAside, const std::string& text = std::string());

// Finishes what an earlier run left: takes back a switch that was interrupted (the old files
// return, the new ones go), removes staged files of a run that ended before its switch, and the
// kept-aside files of a finished one. True when no journal remains: nothing is left to repair.
bool RepairInterruptedSwitch(const char16_t* folder, const UnzipReporter* reporter);
// Whether folder may hold a mix of two versions: a journal of a switch that was neither finished
// nor taken back stands in it, or one that cannot be read now. A mixed client must not be started.
bool FolderSwitchUnfinished(const char16_t* folder);
