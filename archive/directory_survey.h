// The one pass over the central directory when an archive is opened: it decides what the
// directory's claims are worth before any entry is described or read.
#pragma once

#include <cstdint>
#include <memory>

#include "archive/byte_source.h"
#include "archive/directory_record.h"

// Where the end record puts the directory: offsets relative to the archive's start, which lies
// prefixLength bytes into the source.
struct DirectoryExtent {
  std::uint64_t prefixLength = 0;
  std::uint32_t offset = 0;
  std::uint32_t size = 0;
  std::uint32_t entryCount = 0;
};

// False when the directory disagrees with the end record: its records do not lie inside the
// directory the end record sizes, the walk over entryCount records does not end exactly at its
// end, or the count cannot fit it. The archive is then refused as a whole.
//
// Otherwise fills layouts (entryCount of them): each entry's local header is read once, here, and the entry is
// sound only when that header agrees with its record (name byte for byte) and its bytes overlap no
// other entry's nor the directory. Many records over one local header (a known zip-bomb shape)
// are thus all unsound, and never inflated.
//
// Memory: a window over the directory, one local header, and 28 bytes per entry, whatever the
// archive claims. Reads: the directory once, in large blocks, and one read per local header.
bool SurveyDirectory(ByteSource* source, const DirectoryExtent& extent, std::unique_ptr<EntryLayout[]>* layouts);
