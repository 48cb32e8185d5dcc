// Reading one entry's data: stored or raw-deflated, optionally behind the traditional
// encryption, straight into the caller's buffer, with a running CRC-32.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <memory>

#include "archive/directory_cursor.h"
#include "archive/traditional_cipher.h"

struct EntryStream {
  std::unique_ptr<unsigned char[]> input;  // kDataBlockSize bytes; null means no data can be read
  z_stream zstream{};
  std::uint64_t posInArchive = 0;  // next compressed byte, relative to the archive's start
  bool streamInitialised = false;  // inflateEnd is due
  std::uint32_t runningCrc = 0;
  std::uint32_t expectedCrc = 0;
  std::uint32_t compressedLeft = 0;
  std::uint32_t uncompressedLeft = 0;
  ByteSource* source = nullptr;  // the cursor's
  std::uint32_t method = kMethodStored;
  std::uint64_t prefixLength = 0;
  bool encrypted = false;
  CipherKeys keys;
  std::uint32_t headerLeft = 0;  // encryption header bytes not yet consumed
  unsigned char checkByte = 0;   // what the header's last decrypted byte must be
  bool endReported = false;      // the entry's end was delivered; later reads deliver nothing
  bool streamEnded = false;      // inflate saw the deflate stream's end
  bool longerThanSize = false;   // the data holds bytes beyond the directory's size
};

// Opens the cursor's current entry after checking its local header; the stream is the caller's
// until CloseEntryStream, and reads through the cursor's source, so it must not outlive the cursor.
std::int32_t OpenEntryStream(DirectoryCursor* cursor, const char* password, EntryStream** opened);
// Delivers up to length bytes (never beyond the directory's uncompressed size) and answers their
// number, or a negative status or zlib code. *ended is set by the call that delivers the end of
// the entry; a call that answers a count without *ended filled the whole buffer.
std::int64_t ReadEntryStream(EntryStream* stream, void* buffer, std::uint32_t length, bool* ended);
// After the end was delivered: StatusOk when exactly the directory's size arrived with the
// directory's CRC-32 and the data holds nothing more (stored data: no byte beyond the size; an
// empty deflated entry: a stream that produces nothing), else StatusShortData, StatusBadArchive
// or StatusCrcMismatch.
std::int32_t CheckEntryData(const EntryStream& stream);
// StatusCrcMismatch when the whole entry was delivered with a wrong CRC-32; an entry closed early
// is never judged. Frees the stream.
std::int32_t CloseEntryStream(EntryStream* stream);
