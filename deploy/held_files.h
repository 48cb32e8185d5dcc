// Other programs (scanners, indexers) may hold a file for a moment: every rename, delete and open
// of the switch waits such holds out (hold_retry.h), and a file that needed it is reported once
// as held.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>

#include "deploy/unzip_report.h"
#include "platform/file_system.h"
#include "platform/hold_retry.h"

// Attempts of a file call in the folder, each retried while another program holds the file; a
// file that needed that is reported once (kUnzipFileHeld). Shared by staging and the switch.
struct HeldFileReports {
  const UnzipReporter* reporter = nullptr;
  bool retry = true;  // false once the update is off: a failure then stands at once
  std::unordered_set<std::u16string> named;
};

// A call on the file at path, retried while another program holds it; a file that needed it is
// named once.
template <typename Call>
bool Attempt(HeldFileReports& reports, std::int32_t index, const char16_t* name, const char16_t* path, Call call) {
  HoldRetry retry;
  if (!reports.retry) retry.boundMs = 0;
  if (!RetryFileWhileHeld(path, retry, call)) return false;
  if (retry.waited && reports.named.insert(name).second) ReportTo(reports.reporter, index, kUnzipFileHeld, name);
  return true;
}

// index and name say which entry's file it is, for the report.
bool MoveHeldFile(HeldFileReports& reports, std::int32_t index, const char16_t* name, const char16_t* from,
                  const char16_t* to);
bool DeleteHeldFile(HeldFileReports& reports, std::int32_t index, const char16_t* name, const char16_t* path);
PlatformFile CreateHeldFile(HeldFileReports& reports, std::int32_t index, const char16_t* name, const char16_t* path);

// The tool's own small files in the folder (the journal, the install record), read and written
// whole. NotOurs: a folder or a link stands at the name, or the file is longer than longest;
// Held: it exists but cannot be opened or read now.
enum class WholeRead { None, Read, NotOurs, Held };
WholeRead ReadWholeFile(HeldFileReports& reports, const char16_t* name, const char16_t* path, std::uint64_t longest,
                        std::string* text);
// Written whole beside path ("<path>.qvtmp"), on the disk, then moved over it: the file is always
// one complete version.
bool ReplaceWholeFile(HeldFileReports& reports, const char16_t* name, const char16_t* path, const std::string& text);
