// What the last release installed in the folder ("Quorvane.qvrecord"): each file's name, size and
// CRC-32, and the folders that releases made. The next update removes a file that this record
// names and the update lacks only while the file still holds exactly what was recorded, so a file
// the user or the client changed, and every file no release installed, stays. A folder without a
// record (an earlier build installed it), or whose record is damaged or not ours, has nothing
// removed; the update then writes a new record.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "deploy/held_files.h"

struct RecordedFile {
  std::u16string name;  // relative to the folder, as the entry names it
  std::uint32_t size = 0;
  std::uint32_t crc = 0;
  bool operator==(const RecordedFile& other) const {
    return name == other.name && size == other.size && crc == other.crc;
  }
};

struct InstallRecord {
  std::vector<RecordedFile> files;
  std::vector<std::u16string> folders;  // made by a release, relative, outermost first
  bool operator==(const InstallRecord& other) const { return files == other.files && folders == other.folders; }
};

inline constexpr char kRecordedFileLine = 'F';
inline constexpr char kRecordedFolderLine = 'M';

// The record's lines: "F <size> <crc, 8 hex digits> <name>" and "M <folder>". The journal of a
// switch carries the same lines for the record that the switch commits.
std::string RecordLines(const InstallRecord& record);
// One such line (without its newline) into record; false when it is not one of ours.
bool ParseRecordLine(const char16_t* folder, const std::string& line, InstallRecord* record);
// Whether record names one file or folder twice, as Windows compares names.
bool RecordNamesTwice(const InstallRecord& record);

// The record file: a header, the lines, and a last line with the CRC-32 of all before it, so that
// a damaged record is seen as such and removes nothing.
std::string InstallRecordText(const InstallRecord& record);
bool ParseInstallRecord(const char16_t* folder, const std::string& text, InstallRecord* record);

// NotOurs also for a record that does not parse whole or fails its CRC-32.
WholeRead ReadInstallRecord(HeldFileReports& reports, const char16_t* folder, InstallRecord* record);
// Written whole beside the record, on the disk, then moved over it.
bool WriteInstallRecord(HeldFileReports& reports, const char16_t* folder, const InstallRecord& record);
