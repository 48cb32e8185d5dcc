// ZIP structures as the reader sees them (PKWARE application note, one volume, 32-bit fields)
// and the status codes of the reader's inner layer.
#pragma once

#include <cstdint>

// Inner status: 0 success, negative failure. Only the public operations turn it into an
// ArchiveResult.
enum DirectoryStatus : std::int32_t {
  StatusOk = 0,
  StatusIoError = -1,      // a seek failed or a read came back short
  StatusEndOfList = -100,  // no further entry; or the open entry has no input buffer
  StatusBadArgument = -102,
  StatusBadArchive = -103,  // a signature or a consistency check failed
  StatusNoMemory = -104,
  StatusCrcMismatch = -105,  // the delivered bytes do not have the directory's CRC-32
  StatusBadPassword = -106,  // the encryption header's check byte differs
  StatusShortData = -107,    // the entry's data ended before its directory size was delivered
};

inline constexpr std::uint32_t kEndRecordSignature = 0x06054b50;
inline constexpr std::uint32_t kEndRecordSize = 22;    // without its comment
inline constexpr std::uint32_t kLongestField = 65535;  // a 16-bit length: name, extra field, comment
// The record itself and the longest comment behind it: every archive's end record lies in this span.
inline constexpr std::uint32_t kEndRecordSearchSpan = kLongestField + kEndRecordSize;
inline constexpr std::uint32_t kMaxEntryCount = 65535;

// What ZIP64 puts between the directory and the end record. Read only to find where the directory
// ends; 64-bit sizes and offsets are not supported.
inline constexpr std::uint32_t kZip64EndRecordSignature = 0x06064b50;
inline constexpr std::uint32_t kZip64EndRecordSize = 56;  // without its extensible data
inline constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
inline constexpr std::uint32_t kZip64LocatorSize = 20;
// What a 32-bit or 16-bit field holds when its value is in a ZIP64 record or field instead.
inline constexpr std::uint32_t kZip64Deferred32 = 0xFFFFFFFF;
inline constexpr std::uint32_t kZip64Deferred16 = 0xFFFF;

inline constexpr std::uint32_t kCentralRecordSignature = 0x02014b50;
inline constexpr std::uint32_t kCentralRecordSize = 46;  // without name, extra field and comment

inline constexpr std::uint32_t kLocalHeaderSignature = 0x04034b50;
inline constexpr std::uint32_t kLocalHeaderSize = 30;  // without name and extra field

inline constexpr std::uint32_t kMethodStored = 0;
inline constexpr std::uint32_t kMethodDeflated = 8;

inline constexpr std::uint32_t kFlagEncrypted = 0x0001;
inline constexpr std::uint32_t kFlagDataDescriptor = 0x0008;  // local CRC and sizes are not filled in
inline constexpr std::uint32_t kFlagUtf8Name = 0x0800;        // the stored name is UTF-8 by declaration

// Info-ZIP's Unicode Path extra field: version (1), CRC-32 of the stored name, the UTF-8 name.
inline constexpr std::uint32_t kUnicodePathTag = 0x7075;
inline constexpr std::uint32_t kUnicodePathVersion = 1;
inline constexpr std::uint32_t kUnicodePathHeaderSize = 5;

inline constexpr std::uint32_t kEncryptionHeaderSize = 12;
inline constexpr std::uint32_t kDataBlockSize = 16384;  // largest read of entry data, and the output block

// Little-endian fields; unsigned all the way so no shift reaches a sign bit.
inline std::uint32_t ReadLe16(const unsigned char* bytes) {
  return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8;
}
inline std::uint32_t ReadLe32(const unsigned char* bytes) { return ReadLe16(bytes) | ReadLe16(bytes + 2) << 16; }

// The fixed fields of one central-directory record, each widened to 32 bits.
struct DirectoryRecord {
  std::uint32_t versionMadeBy = 0;
  std::uint32_t versionNeeded = 0;
  std::uint32_t flags = 0;
  std::uint32_t method = 0;
  std::uint32_t dosDateTime = 0;  // time in the low 16 bits, date in the high 16 bits
  std::uint32_t crc = 0;
  std::uint32_t compressedSize = 0;
  std::uint32_t uncompressedSize = 0;
  std::uint32_t nameLength = 0;
  std::uint32_t extraLength = 0;
  std::uint32_t commentLength = 0;
  std::uint32_t diskStart = 0;
  std::uint32_t internalAttributes = 0;
  std::uint32_t externalAttributes = 0;
};
