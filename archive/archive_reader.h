// The program's own ZIP reader: one-volume archives with stored or deflated entries, 32-bit
// sizes and offsets, at most 65,535 entries, traditional PKWARE encryption, UTF-8 names and the
// "UT" extended timestamp, Info-ZIP's Unicode Path field. Read only.
//
// Use: OpenArchive, then any sequence of GetArchiveEntry and ExtractEntry calls, then
// CloseArchive. Every operation answers an ArchiveResult and also stores it in
// LastArchiveResult (OpenArchive answers the handle, or null with the code stored). Nothing is
// thrown and no text is produced: the code is the whole report. One reader must not be used
// from two threads at once.
#pragma once

#include <cstdint>

#include "platform/file_system.h"
#include "platform/file_time.h"

enum class ArchiveResult : std::uint32_t {
  Ok = 0x00000000,          // success; for extraction: this call delivered the entry's last bytes
  OpenFailed = 0x00000200,  // no such file, no readable directory; for file targets: not created
  WriteFailed = 0x00000400,
  MoreData = 0x00000600,     // the buffer was filled completely and the entry has more
  Corrupt = 0x00000700,      // local header disagrees with the directory, or the data fails its check
  ReadFailed = 0x00000800,   // the entry's local extra field cannot be read
  NameTooLong = 0x00000900,  // described with a cut name (260 bytes or more stored)
  NameNotUtf8 = 0x00000A00,  // described with the stored name shown escaped: it is no UTF-8
  PasswordMismatch = 0x00001000,
  BadArgument = 0x00010000,      // null handle or info, index out of range, unknown target kind
  WrongHandleKind = 0x00080000,  // not a handle this reader made
  AlreadyOpen = 0x01000000,      // kept for completeness: a reader is opened once, on creation
  NotSeekable = 0x02000000,      // a lent file handle cannot report its position
  InflateFailed = 0x05000000,    // any other failure while delivering entry data
};

// The code of the last public operation, process-wide.
extern ArchiveResult LastArchiveResult;

inline constexpr int kEntryNameCapacity = 260;

struct ArchiveEntryInfo {
  std::int32_t index = 0;  // the entry's number; for index -1, the number of entries
  // UTF-8 name as UTF-16, zero-terminated, with drive letters, leading separators and
  // everything up to the last "\..\"-like parent step removed; separators as stored.
  char16_t name[kEntryNameCapacity] = {};
  std::uint32_t attributes = 0;  // Windows FILE_ATTRIBUTE_* bits
  FileTime accessTime;           // UTC, all three; zero when the stored DOS date is no date
  FileTime creationTime;
  FileTime writeTime;
  std::int32_t compressedSize = 0;
  std::int32_t uncompressedSize = 0;
};

struct ArchiveHandleRecord;
using ArchiveHandle = ArchiveHandleRecord*;

// ExtractEntry's target kinds.
inline constexpr std::int32_t kTargetFileHandle = 1;  // target is an open PlatformFile
inline constexpr std::int32_t kTargetFilePath = 2;    // target is a zero-terminated UTF-16 path
inline constexpr std::int32_t kTargetMemory = 3;      // target is a buffer of length bytes

// Opens an archive file for reading (shared for reading only) until CloseArchive. password: a
// zero-terminated narrow string, or null (which decrypts like an empty password).
ArchiveHandle OpenArchive(const char16_t* path, const char* password);
// The same over a file the caller opened; the reader neither closes it nor relies on its
// position between calls. Data in front of the archive in the file is allowed.
ArchiveHandle OpenArchiveFromHandle(PlatformFile file, const char* password);
// The same over a memory block, which is not copied: it must stay unchanged until CloseArchive.
ArchiveHandle OpenArchiveFromMemory(const void* data, std::uint32_t size, const char* password);
ArchiveResult CloseArchive(ArchiveHandle handle);

// index -1: info->index = number of entries, the rest zero. index 0..count-1: the entry's
// description; the last one is cached, so describing it again reads nothing. Ends a partly read
// entry. Failures: BadArgument (info only pre-cleared: index 0, empty name, size 0), Corrupt
// (directory record or local header broken, or the local header's Unicode Path field names the entry
// otherwise than the directory), ReadFailed (an extra field unreadable); with these two, info holds
// the entry's name when its directory record could be read, and is otherwise pre-cleared.
// NameTooLong: the stored name has 260 bytes or more; info is complete with the name cut at a
// character boundary, and file extraction refuses the entry. A name not flagged as UTF-8 is taken
// from the directory's current Info-ZIP Unicode Path field when there is one. NameNotUtf8: the name is no UTF-8;
// info is complete with the stored bytes escaped ("Caf\x82.dll", a text to show, not a path), and
// file extraction refuses the entry.
ArchiveResult GetArchiveEntry(ArchiveHandle handle, std::int32_t index, ArchiveEntryInfo* info);

// How an entry is stored, from its directory record alone: what a Corrupt answer does not say, so
// that a refusal can name what the reader does not support.
inline constexpr std::uint32_t kEntryFlagStrongEncryption = 0x0040;
struct ArchiveEntryFormat {
  std::uint32_t method = 0;  // compression method: 0 stored and 8 deflated are the ones read
  std::uint32_t flags = 0;   // general-purpose bits
  bool zip64 = false;        // a size or the offset is left to a ZIP64 field (0xFFFFFFFF here)
};
// Ok with format filled; BadArgument as GetArchiveEntry; Corrupt when the record cannot be read.
ArchiveResult GetArchiveEntryFormat(ArchiveHandle handle, std::int32_t index, ArchiveEntryFormat* format);
// The CRC-32 that the entry's directory record claims for its data, from that record alone (after
// GetArchiveEntry of the same entry nothing is read), so that a file on the disk can be compared
// with the entry without extracting it. Results as GetArchiveEntryFormat.
ArchiveResult GetArchiveEntryCrc(ArchiveHandle handle, std::int32_t index, std::uint32_t* crc);
// The entry's name as the archive gives it (a current Unicode Path field's name when it has one),
// before GetArchiveEntry's clean-up: drives, leading separators and parent steps kept, so that a
// listing can show what the reader changed. Ok with name filled; BadArgument as GetArchiveEntry;
// Corrupt or ReadFailed when its directory record cannot be read; NameTooLong and NameNotUtf8 with
// name empty, since GetArchiveEntry already describes those names as stored (cut, or escaped).
ArchiveResult GetArchiveEntryStoredName(ArchiveHandle handle, std::int32_t index, char16_t (&name)[kEntryNameCapacity]);
// Whether the file's end record leaves its entry count, directory size or offset to a ZIP64 end
// record: an archive that OpenArchive does not open (OpenFailed), however small.
bool IsZip64Archive(const char16_t* path);

// Memory target: call repeatedly with the same index. MoreData: the whole buffer was filled and
// the entry has more. Ok: this call delivered the entry's last bytes, the entry holds exactly its
// directory size and matches its CRC-32; the last chunk is uncompressedSize minus the bytes of the
// earlier MoreData answers. Corrupt: the data ended early or fails its CRC-32 (the entry is then
// closed). An empty entry answers Ok at once. After Ok the entry stays open with nothing left:
// one more call answers InflateFailed and closes it; the call after that starts it again. A call
// with another index (or GetArchiveEntry) abandons the open entry, which then restarts from its
// first byte. A negative index answers BadArgument.
//
// File targets (path or handle): the whole entry is written through a 16,384-byte buffer; the
// file's times are set from the entry only on Ok. A relative path is taken under the current
// folder at open time; missing folders are created. A folder entry (folder attribute, or a name
// ending in a separator) creates the path as a folder, or does nothing for a handle. A path's file
// is created once the first chunk is in (a wrong password leaves an existing file alone) and is
// deleted again when the entry did not arrive intact. Entries whose name would leave the target
// folder ("..", a drive or stream colon, a device name) or was cut are refused with OpenFailed:
// nothing is created.
ArchiveResult ExtractEntry(ArchiveHandle handle, std::int32_t index, void* target, std::uint32_t length,
                           std::int32_t targetKind);
ArchiveResult ExtractEntryToMemory(ArchiveHandle handle, std::int32_t index, void* buffer, std::uint32_t length);

// True when a sanitised entry name stays inside the folder it is extracted to and names there
// what it says on every host: not empty, no leading separator, no colon, no component that ends
// in a dot or a space (Windows drops them: "a." is "a", ".." climbs), no Windows device name (CON,
// PRN, AUX, NUL, COM0-9, LPT0-9, COM and LPT with a superscript 1-3) as a component, in any case,
// with or without an extension.
bool EntryNameIsSafe(const char16_t* name);
// A folder says so twice: its name ends with a separator, or it has the folder attribute and no
// data (both sizes 0). An entry with the folder attribute and data is a file, as other archivers
// take it.
bool EntryIsFolder(const ArchiveEntryInfo& info);
