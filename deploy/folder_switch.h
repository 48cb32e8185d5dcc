// The switch from the installed files to the staged ones, all or nothing. Every file of an update
// is first staged beside its target ("<name>.qvtmp", whole and on the disk); only then are the
// targets replaced: each existing target is first set aside ("<name>.qvold", a rename in the same
// folder), then every staged file takes its target's name. A failure at any point puts every file
// back as it was.
//
// A journal in the folder ("Quorvane.qvjournal") records every step before it happens, so that the
// next run can finish what a crash, a power cut or a kill left: while staging it lists each staged
// file and made folder before it exists (the next run removes them); during the switch it lists
// every target (the next run takes the switch back); once the new version is whole it lists only
// what is left to delete. A journal that names what no repair can act on is set aside as
// "Quorvane.qvjournal.unusable" and never blocks a later update; one that cannot be read now stays
// for the next run.
//
// Other programs (scanners, indexers) may hold a file for a moment: every rename, delete and open
// here waits such holds out (hold_retry.h), and a file that needed it is reported once as held.
#pragma once

#include <string>
#include <unordered_set>
#include <vector>

#include "deploy/unzip_report.h"
#include "platform/file_system.h"

struct StagedFile {
  std::u16string name;      // relative to the folder, as the entry names it
  bool hadOld = false;      // a file stood at the target when the switch began
  std::int32_t index = -1;  // the entry, for reports
};

struct SwitchPlan {
  std::vector<StagedFile> files;
  std::vector<std::u16string> createdFolders;  // relative, outermost first: removed when nothing is switched
};

// Attempts of a file call in the folder, each retried while another program holds the file; a
// file that needed that is reported once (kUnzipFileHeld). Shared by staging and the switch.
struct HeldFileReports {
  const UnzipReporter* reporter = nullptr;
  bool retry = true;  // false once the update is off: a failure then stands at once
  std::unordered_set<std::u16string> named;
};

// The journal of an update while its files are staged. BeginStaging reads what an earlier run
// left (kept-aside files still to delete are carried on); the journal file itself is created at
// the first NoteStaging, and every name is noted before its file or folder is made.
struct StagingJournal {
  const char16_t* folder = nullptr;
  const UnzipReporter* reporter = nullptr;
  HeldFileReports holds;  // for staging and the switch alike: a file is named once
  ScopedPlatformFile file;
  std::vector<std::u16string> keptAside;              // carried from an earlier switch
  std::vector<std::u16string> staged;                 // every staged file noted, staged or not
  std::size_t carriedStaged = 0;                      // the first ones: an earlier run's, still to delete
  std::vector<std::u16string> folders;                // every folder noted as made for the update
  std::unordered_set<std::u16string> stagingFolders;  // the folders noted as staged into
  std::u16string lastStagingFolder;
  bool stagingFolderNoted = false;
  bool broken = false;  // a note could not be written: nothing may be staged
};
inline constexpr char kNoteStagedFile = 'S';
inline constexpr char kNoteMadeFolder = 'D';
inline constexpr char kNoteStagingFolder = 'T';

// False when the folder holds a switch that could not be taken back or a journal that cannot be
// read now (reported): no update may start over it.
bool BeginStaging(const char16_t* folder, const UnzipReporter* reporter, StagingJournal& journal);
// Records name (relative to the folder) before the staged file or folder is made; false when the
// journal cannot take it. A staged file is recorded by its folder, once per folder.
bool NoteStaging(StagingJournal& journal, char kind, const std::u16string& name);

// Replaces every target of plan with its staged file, or none of them: on failure it reports the
// file that stopped it, and every target, staged file and created folder is as before the update.
bool SwitchStagedFiles(SwitchPlan& plan, StagingJournal& journal);
// Removes what staging made: every staged file noted, then the folders made, innermost first.
void DiscardStagedFiles(StagingJournal& journal);
// Finishes what an earlier run left: takes back a switch that was interrupted (the old files
// return, the new ones go), removes staged files of a run that ended before its switch, and the
// kept-aside files of a finished one. True when no journal remains: nothing is left to repair.
bool RepairInterruptedSwitch(const char16_t* folder, const UnzipReporter* reporter);
// Whether folder may hold a mix of two versions: a journal of a switch that was neither finished
// nor taken back stands in it, or one that cannot be read now. A mixed client must not be started.
bool FolderSwitchUnfinished(const char16_t* folder);

// index and name say which entry's file it is, for the report.
bool MoveHeldFile(HeldFileReports& reports, std::int32_t index, const char16_t* name, const char16_t* from,
                  const char16_t* to);
bool DeleteHeldFile(HeldFileReports& reports, std::int32_t index, const char16_t* name, const char16_t* path);
PlatformFile CreateHeldFile(HeldFileReports& reports, std::int32_t index, const char16_t* name, const char16_t* path);
