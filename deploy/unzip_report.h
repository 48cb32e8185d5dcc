// How the folder extraction says what it did not install: one report per entry (or per folder or
// archive), each naming an event.
#pragma once

#include <cstdint>

// Why something was not installed: the event of a report.
inline constexpr char kUnzipOpenFailed[] = "Open Failed";              // the archive cannot be read
inline constexpr char kUnzipFolderFailed[] = "Folder Failed";          // a folder could not be created
inline constexpr char kUnzipLinkRefused[] = "Link Refused";            // a folder on its path is a link: not applied
inline constexpr char kUnzipUnreadable[] = "Unreadable Entry";         // its records are broken: no name
inline constexpr char kUnzipRefusedName[] = "Refused Name";            // leaves the folder, was cut, a reserved name
inline constexpr char kUnzipNameNotUtf8[] = "Name Not UTF-8";          // shown with its bytes escaped
inline constexpr char kUnzipDuplicateName[] = "Duplicate Name";        // Windows takes it for an earlier entry's file
inline constexpr char kUnzipPathTooLong[] = "Path Too Long";           // beyond Windows' path limit
inline constexpr char kUnzipCreateFailed[] = "Create Failed";          // the staged file
inline constexpr char kUnzipWriteFailed[] = "Write Failed";            // disk full, for example
inline constexpr char kUnzipDataCorrupt[] = "Data Corrupt";            // CRC-32 or size differ from the directory
inline constexpr char kUnzipPasswordMismatch[] = "Password Mismatch";  // encrypted with another password
inline constexpr char kUnzipReadFailed[] = "Read Failed";              // data unreadable or not inflatable
inline constexpr char kUnzipMoveFailed[] = "Move Failed";              // the target is in use, for example
// Installed, but another program held the file for a moment first (a scanner, for example).
inline constexpr char kUnzipFileHeld[] = "File Held";
// Not a failure: the last release installed the file (name: relative to the folder), the new
// version lacks it, and it went with the update (index -1).
inline constexpr char kUnzipFileRemoved[] = "File Removed";
// About the folder as a whole (index -1, name: the folder).
inline constexpr char kUnzipUpdateNotApplied[] = "Update Not Applied";    // every file is as it was
inline constexpr char kUnzipSwitchUndone[] = "Switch Undone";             // an interrupted switch was taken back
inline constexpr char kUnzipSwitchNotRepaired[] = "Switch Not Repaired";  // some of it could not be, yet
inline constexpr char kUnzipJournalSetAside[] = "Journal Set Aside";      // it named what no repair can act on

// Where the reports go: the release log, ziptool's output, a test's list. index is the entry's
// number, or -1 for the archive itself (name: its path) or the target folder (name: the folder);
// name is the entry's name as the reader describes it, empty when it could not be described.
// The call comes right after the failing system call, so the platform's last-error value still
// belongs to it.
// What an update did, counted once its switch is whole (all zero when it was not applied).
struct UnzipCounts {
  std::uint32_t untouched = 0;  // file entries already right on the disk, left as they were
  std::uint32_t replaced = 0;
  std::uint32_t added = 0;
  std::uint32_t removed = 0;  // files the last release installed and this one lacks
};

struct UnzipReporter {
  void (*report)(void* context, std::int32_t index, const char* event, const char16_t* name) = nullptr;
  void* context = nullptr;
  UnzipCounts* counts = nullptr;  // filled when given
};

// Reports when there is somewhere to report to; answers false, for the caller's failure path.
inline bool ReportTo(const UnzipReporter* reporter, std::int32_t index, const char* event, const char16_t* name) {
  if (reporter != nullptr && reporter->report != nullptr) reporter->report(reporter->context, index, event, name);
  return false;
}
