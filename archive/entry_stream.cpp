#include "archive/entry_stream.h"

#include <cstring>
#include <new>

namespace {

std::uint32_t Smaller(std::uint32_t a, std::uint32_t b) { return a < b ? a : b; }

// Reads the next n bytes of the entry's data into destination. Each block read is preceded by a
// seek to the stream's own position, so it never depends on where other reads left the file.
std::int32_t ReadBlock(EntryStream* stream, unsigned char* destination, std::uint32_t n) {
  const std::uint64_t position = stream->posInArchive + stream->prefixLength;
  if (SourceSeek(stream->source, static_cast<std::int64_t>(position), SeekOrigin::Start) != StatusOk) {
    return StatusIoError;
  }
  if (SourceReadExact(stream->source, destination, n) != StatusOk) return StatusIoError;
  stream->posInArchive += n;
  stream->compressedLeft -= n;
  return StatusOk;
}

// Fills the input buffer with the next block of compressed data, decrypted.
std::int32_t Refill(EntryStream* stream) {
  const std::uint32_t n = Smaller(kDataBlockSize, stream->compressedLeft);
  if (ReadBlock(stream, stream->input.get(), n) != StatusOk) return StatusIoError;
  if (stream->encrypted) DecryptInPlace(&stream->keys, stream->input.get(), n);
  stream->zstream.next_in = stream->input.get();
  stream->zstream.avail_in = n;
  return StatusOk;
}

// Consumes encryption header bytes; StatusBadPassword once the whole header is in and its last
// byte differs from the check byte.
std::int32_t ConsumeHeader(EntryStream* stream) {
  z_stream& z = stream->zstream;
  if (z.avail_in == 0) return StatusShortData;  // the data ends inside the header
  const std::uint32_t n = Smaller(stream->headerLeft, z.avail_in);
  const unsigned char last = z.next_in[n - 1];
  z.next_in += n;
  z.avail_in -= n;
  stream->headerLeft -= n;
  if (stream->headerLeft == 0 && last != stream->checkByte) return StatusBadPassword;
  return StatusOk;
}

void Deliver(EntryStream* stream, const unsigned char* bytes, std::uint32_t count) {
  stream->runningCrc = static_cast<std::uint32_t>(crc32(stream->runningCrc, bytes, count));
  stream->uncompressedLeft -= count;
}

// Plain stored data needs no input buffer: the next block (at most as large as a refill) is read
// straight into the caller's buffer, saving a copy of it.
bool CanReadStoredDirectly(const EntryStream& stream) {
  return stream.method == kMethodStored && !stream.encrypted && stream.zstream.avail_in == 0 &&
         stream.zstream.avail_out > 0 && stream.compressedLeft > 0;
}

std::int32_t ReadStoredDirectly(EntryStream* stream) {
  z_stream& z = stream->zstream;
  const std::uint32_t n = Smaller(Smaller(kDataBlockSize, stream->compressedLeft), z.avail_out);
  if (ReadBlock(stream, z.next_out, n) != StatusOk) return StatusIoError;
  Deliver(stream, z.next_out, n);
  z.next_out += n;
  z.avail_out -= n;
  return static_cast<std::int32_t>(n);
}

// An empty entry delivers nothing, but its data is checked all the same: the encryption header,
// and for deflate a stream that ends without producing a byte (or no stream at all, as some
// producers store an empty file). A stream that would produce bytes makes the entry longer than
// its size; the stored rule is CheckEntryData's.
std::int32_t CheckEmptyData(EntryStream* stream) {
  z_stream& z = stream->zstream;
  unsigned char none = 0;
  for (;;) {
    if (stream->headerLeft == 0 && (stream->method != kMethodDeflated || stream->streamEnded)) return StatusOk;
    if (z.avail_in == 0 && stream->compressedLeft > 0) {
      const std::int32_t status = Refill(stream);
      if (status != StatusOk) return status;
    }
    if (stream->headerLeft > 0) {
      const std::int32_t status = ConsumeHeader(stream);
      if (status != StatusOk) return status;
      continue;
    }
    if (z.avail_in == 0 && stream->compressedLeft == 0 && z.total_in == 0) return StatusOk;  // no stream
    z.next_out = &none;
    z.avail_out = 0;
    const int r = inflate(&z, Z_SYNC_FLUSH);
    if (r == Z_STREAM_END) {
      stream->streamEnded = true;
    } else if (r != Z_OK && r != Z_BUF_ERROR) {
      return r;
    } else if (z.avail_in > 0) {
      stream->longerThanSize = true;  // inflate stopped for want of room: the stream holds bytes
      return StatusOk;
    } else if (stream->compressedLeft == 0) {
      return StatusBadArchive;  // the data ends before the stream does
    }
  }
}

}  // namespace

std::int32_t OpenEntryStream(DirectoryCursor* cursor, const char* password, EntryStream** opened) {
  *opened = nullptr;
  if (cursor == nullptr || !cursor->currentOk) return StatusBadArgument;
  LocalHeaderCheck check;
  if (CheckCurrentLocalHeader(cursor, &check) != StatusOk) return StatusBadArchive;
  auto* stream = new (std::nothrow) EntryStream;
  if (stream == nullptr) return StatusNoMemory;
  stream->input.reset(new (std::nothrow) unsigned char[kDataBlockSize]);
  if (stream->input == nullptr) {
    delete stream;
    return StatusNoMemory;
  }
  const DirectoryRecord& record = cursor->record;
  stream->expectedCrc = record.crc;
  stream->method = record.method;
  stream->compressedLeft = record.compressedSize;
  stream->uncompressedLeft = record.uncompressedSize;
  stream->source = &cursor->source;
  stream->prefixLength = cursor->prefixLength;
  if (stream->method == kMethodDeflated) {
    // A failed init is not reported here: the first read then fails inside inflate.
    stream->streamInitialised = inflateInit2(&stream->zstream, -MAX_WBITS) == Z_OK;
  }
  stream->encrypted = (record.flags & kFlagEncrypted) != 0;
  // With a data descriptor the CRC was unknown when the header was encrypted, so the check byte
  // is the high byte of the DOS time instead of the CRC's.
  stream->checkByte = static_cast<unsigned char>((record.flags & kFlagDataDescriptor) != 0 ? record.dosDateTime >> 8
                                                                                           : record.crc >> 24);
  stream->headerLeft = stream->encrypted ? kEncryptionHeaderSize : 0;
  stream->keys = KeysForPassword(password);
  stream->posInArchive = std::uint64_t{cursor->localHeaderOffset} + kLocalHeaderSize + check.nameAndExtraLength;
  *opened = stream;
  return StatusOk;
}

std::int64_t ReadEntryStream(EntryStream* stream, void* buffer, std::uint32_t length, bool* ended) {
  *ended = false;
  if (stream == nullptr) return StatusBadArgument;
  if (stream->input == nullptr) return StatusEndOfList;
  if (length == 0 || stream->endReported) return 0;
  if (stream->uncompressedLeft == 0) {
    const std::int32_t status = CheckEmptyData(stream);
    if (status != StatusOk) return status;
    stream->endReported = true;
    *ended = true;
    return 0;
  }
  z_stream& z = stream->zstream;
  z.next_out = static_cast<unsigned char*>(buffer);
  z.avail_out = Smaller(length, stream->uncompressedLeft);
  std::int64_t delivered = 0;
  bool streamEnded = false;
  while (!streamEnded) {
    if (CanReadStoredDirectly(*stream)) {
      const std::int32_t read = ReadStoredDirectly(stream);
      if (read < 0) return read;
      delivered += read;
      continue;
    }
    if (z.avail_in == 0 && stream->compressedLeft > 0 && (z.avail_out > 0 || stream->headerLeft > 0)) {
      const std::int32_t status = Refill(stream);
      if (status != StatusOk) return status;
    }
    if (stream->headerLeft > 0) {
      const std::int32_t status = ConsumeHeader(stream);
      if (status != StatusOk) return status;
      continue;
    }
    if (z.avail_out == 0) break;
    unsigned char* const out = z.next_out;
    if (stream->method == kMethodStored) {
      // Compressed data used up before the size is delivered: no input will ever come.
      if (z.avail_in == 0) return StatusShortData;
      const std::uint32_t n = Smaller(z.avail_out, z.avail_in);
      std::memcpy(out, z.next_in, n);
      z.next_in += n;
      z.avail_in -= n;
      z.next_out += n;
      z.avail_out -= n;
    } else {
      const int r = inflate(&z, Z_SYNC_FLUSH);
      if (r == Z_STREAM_END) {
        streamEnded = true;
      } else if (r != Z_OK && z.next_out == out) {
        return r < 0 ? r : StatusBadArchive;  // no progress: corrupt data or no input left
      }
    }
    const auto produced = static_cast<std::uint32_t>(z.next_out - out);
    Deliver(stream, out, produced);
    delivered += produced;
  }
  if (streamEnded || stream->uncompressedLeft == 0) {
    stream->endReported = true;
    *ended = true;
  }
  return delivered;
}

std::int32_t CheckEntryData(const EntryStream& stream) {
  if (stream.uncompressedLeft != 0) return StatusShortData;
  if (stream.longerThanSize) return StatusBadArchive;
  // Stored data is exactly the entry: bytes beyond its size mean a size or a record is wrong.
  if (stream.method == kMethodStored && (stream.compressedLeft != 0 || stream.zstream.avail_in != 0)) {
    return StatusBadArchive;
  }
  return stream.runningCrc == stream.expectedCrc ? StatusOk : StatusCrcMismatch;
}

std::int32_t CloseEntryStream(EntryStream* stream) {
  if (stream == nullptr) return StatusBadArgument;
  const std::int32_t verdict =
      stream->uncompressedLeft == 0 && stream->runningCrc != stream->expectedCrc ? StatusCrcMismatch : StatusOk;
  if (stream->streamInitialised) inflateEnd(&stream->zstream);
  delete stream;
  return verdict;
}
