#include "archive/directory_record.h"

void DecodeDirectoryRecord(const unsigned char* fixed, DirectoryRecord* record, std::uint32_t* localHeaderOffset) {
  record->versionMadeBy = ReadLe16(fixed + 4);
  record->versionNeeded = ReadLe16(fixed + 6);
  record->flags = ReadLe16(fixed + 8);
  record->method = ReadLe16(fixed + 10);
  record->dosDateTime = ReadLe32(fixed + 12);
  record->crc = ReadLe32(fixed + 16);
  record->compressedSize = ReadLe32(fixed + 20);
  record->uncompressedSize = ReadLe32(fixed + 24);
  record->nameLength = ReadLe16(fixed + 28);
  record->extraLength = ReadLe16(fixed + 30);
  record->commentLength = ReadLe16(fixed + 32);
  record->diskStart = ReadLe16(fixed + 34);
  record->internalAttributes = ReadLe16(fixed + 36);
  record->externalAttributes = ReadLe32(fixed + 38);
  *localHeaderOffset = ReadLe32(fixed + 42);
}

bool LocalHeaderAgrees(const unsigned char* local, const DirectoryRecord& record) {
  if (ReadLe32(local) != kLocalHeaderSignature) return false;
  const std::uint32_t localFlags = ReadLe16(local + 6);
  const std::uint32_t method = ReadLe16(local + 8);
  if (method != record.method || (record.method != kMethodStored && record.method != kMethodDeflated)) return false;
  if ((localFlags & kFlagDataDescriptor) == 0 &&
      (ReadLe32(local + 14) != record.crc || ReadLe32(local + 18) != record.compressedSize ||
       ReadLe32(local + 22) != record.uncompressedSize)) {
    return false;
  }
  return ReadLe16(local + 26) == record.nameLength;
}

std::int32_t CheckLocalHeader(const DirectoryRecord& record, std::uint32_t localHeaderOffset, const EntryLayout& layout,
                              LocalHeaderCheck* check) {
  *check = LocalHeaderCheck{};
  if (!layout.sound) return StatusBadArchive;
  check->nameAndExtraLength = record.nameLength + layout.localExtraLength;
  check->extraOffset = std::uint64_t{localHeaderOffset} + kLocalHeaderSize + record.nameLength;
  check->extraLength = layout.localExtraLength;
  return StatusOk;
}
