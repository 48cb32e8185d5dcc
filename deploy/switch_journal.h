// The journal in the folder ("Quorvane.qvjournal") records every step of an update before it
// happens, so that the next run can finish what a crash, a power cut or a kill left: while staging
// it lists each staged file and made folder before it exists (the next run removes them); during
// the switch it lists every target (the next run takes the switch back); once the new version is
// whole it lists only what is left to delete. A journal that names what no repair can act on is
// set aside as "Quorvane.qvjournal.unusable" and never blocks a later update; one that cannot be
// read now stays for the next run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "archive/zip_format.h"
#include "deploy/entry_names.h"
#include "deploy/held_files.h"
#include "deploy/install_record.h"
#include "deploy/stored_names.h"

// How the switch changes one file of the folder.
enum class FileChange {
  Staged,   // its staged file replaces the target ("O" when a file stood there, else "N")
  Added,    // "A": nothing stood at the target, so it was written there while staging; taken back, it goes
  Dropped,  // "X": the last release installed it and this one lacks it: set aside, deleted once whole
};

struct StagedFile {
  std::u16string name;      // relative to the folder, as the entry names it
  bool hadOld = false;      // a file stood at the target when the switch began
  std::int32_t index = -1;  // the entry, for reports
  FileChange change = FileChange::Staged;
};

// Kept for whoever wants to look into it, never read again: it can block no later update.
inline constexpr char16_t kUnusableJournalName[] = u"Quorvane.qvjournal.unusable";

inline constexpr char kNoteStagedFile = 'S';
inline constexpr char kNoteMadeFolder = 'D';
inline constexpr char kNoteStagingFolder = 'T';
inline constexpr char kNoteAddedFile = 'A';

enum class JournalState { Staging, Switching, Committed };

// What a journal holds. Lines: "O name"/"N name" a target of the switch with/without an old file,
// "S name" a staged file that may stand, "T folder" a folder that staged files were put in (any
// "<name>.qvtmp" there may be one; "T " is the folder itself), "D name" a folder made for the
// update, "K name" a kept-aside file still to delete (one in use could not go yet), "A name" a file
// written at its own name while staging (its target was free), "X name" a dropped file. A committed
// journal may end with "R " and the install record's lines: the record of the version the switch
// made whole, still to be written.
struct Journal {
  JournalState state = JournalState::Committed;
  std::vector<StagedFile> files;
  std::vector<std::u16string> staged;
  std::vector<std::u16string> stagingFolders;
  std::vector<std::u16string> folders;
  std::vector<std::u16string> keptAside;
  // The folder may mix two versions: a switch could not be taken back whole (it met a link, or a
  // line that is not ours, and its journal was set aside). It blocks no update, but no client may
  // be started over it until an update switches one whole version in; any state carries it.
  bool mixed = false;
  bool unusable = false;   // a line that is not ours, or names what no repair can act on
  bool linesLost = false;  // a power cut left zeros where lines were appended
  bool hasRecord = false;  // record is the folder's and is still to be written
  InstallRecord record;
  std::string text;  // as read, for the copy kept when it is set aside
  // Whether anything is left to do, so that the journal must stay.
  bool HasWaste() const {
    return !files.empty() || !staged.empty() || !keptAside.empty() || !stagingFolders.empty() || !folders.empty() ||
           hasRecord;
  }
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
  std::size_t carriedFolders = 0;                     // the first ones: an earlier run's
  std::vector<std::u16string> carriedStagingFolders;  // an earlier run's, still to clear
  std::unordered_set<std::u16string> stagingFolders;  // the folders noted as staged into
  std::u16string lastStagingFolder;
  bool stagingFolderNoted = false;
  std::uint64_t written = 0;  // the journal's length so far
  bool mixed = false;         // the folder may mix two versions until this update is whole
  bool broken = false;        // a note could not be written: nothing may be staged
};

// What an earlier run left that is not gone yet, as the lines every version of the journal carries
// until it is: its staged files, the folders it made and staged into, its kept-aside files.
Journal CarriedWaste(const StagingJournal& staging);

std::string JournalText(const Journal& journal);
// False when text is no journal of ours at all.
bool ParseJournal(const char16_t* folder, const std::string& text, Journal* journal);

// The longest journal the tool writes: every kind of line for each of an archive's 65,535 entries
// and for as many dropped files, each name as long as a path may be, in the longest UTF-8 (three
// bytes per UTF-16 unit), a record line's size and CRC-32 beside it.
inline constexpr std::uint32_t kJournalLineKinds = 8;  // O, N, A or X twice, S, T, D, K, F, M
inline constexpr std::uint32_t kLongestJournalLine = 3 + 20 + 3 * (kEntryPathCapacity - 1);
inline constexpr std::uint32_t kLongestJournal = 64 + kJournalLineKinds * kMaxEntryCount * kLongestJournalLine;

enum class JournalRead { None, Read, Held, NotOurs };

// The journal in folder. Held: it exists but cannot be opened or read now; it stays for later.
JournalRead ReadJournal(HeldFileReports& reports, const char16_t* folder, Journal* journal);
// Written whole beside the journal, on the disk, then moved over it: the journal is always one
// complete version.
bool WriteJournal(HeldFileReports& reports, const char16_t* folder, const Journal& journal);
