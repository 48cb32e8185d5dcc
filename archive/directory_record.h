// One central-directory record and the local header in front of its entry's data: decoding the
// record and checking the header against it. Reads nothing itself, so the directory walk, the
// survey at open and the entry stream can all stand on it.
#pragma once

#include <cstdint>

#include "archive/zip_format.h"

// Where the local header says the entry's extra field and data are.
struct LocalHeaderCheck {
  std::uint32_t nameAndExtraLength = 0;
  std::uint64_t extraOffset = 0;  // relative to the archive's start
  std::uint32_t extraLength = 0;
};

// What the survey at open found for one entry, so that no later call reads its local header again.
struct EntryLayout {
  std::uint16_t localExtraLength = 0;
  // The local header agrees with the record, name byte for byte, and the entry's bytes (local
  // header, name, extra field, data) are its own: they overlap no other entry's, nor the directory.
  bool sound = false;
};

// The fixed part of a directory record (kCentralRecordSize bytes, signature already matched).
void DecodeDirectoryRecord(const unsigned char* fixed, DirectoryRecord* record, std::uint32_t* localHeaderOffset);
// Whether a local header's fixed part (kLocalHeaderSize bytes) agrees with its directory record:
// signature, method (0 or 8), name length, and CRC and sizes unless the local header defers them
// to a data descriptor.
bool LocalHeaderAgrees(const unsigned char* local, const DirectoryRecord& record);
// StatusBadArchive unless the survey found the entry sound; else where its local header puts its
// extra field and data.
std::int32_t CheckLocalHeader(const DirectoryRecord& record, std::uint32_t localHeaderOffset, const EntryLayout& layout,
                              LocalHeaderCheck* check);
