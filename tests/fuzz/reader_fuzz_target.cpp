// Fuzz target over the ZIP reader's public calls, the way the folder extraction and ziptool use
// them: open, count, describe every entry, read every entry to its end, close.
//
// The input is the archive itself. Its last byte (the comment's last byte, or the high byte of the
// comment length when there is no comment) also picks the variant, so every input stays a plain
// archive that other tools can open:
//   bits 0-1  password: none, "secret", empty, a non-ASCII one
//   bits 2-3  source: memory block, file by path, lent file handle with junk in front of the archive
//   bit  4    read with a small buffer instead of 16,384 bytes
//   bit  5    a second pass that abandons every entry after its first chunk, in reverse order
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive/archive_reader.h"
#include "fuzz_check.h"
#include "fuzz_scratch.h"

namespace {

constexpr std::uint32_t kChunk = 16384;
// Work allowed per input, counted as buffer bytes plus a fixed cost per call: enough for several
// entries of a deflate bomb made from a small input; beyond it the target only describes, so one
// input cannot stall the run.
constexpr std::uint64_t kWorkBudget = 64u << 20;
constexpr std::uint64_t kCallCost = 64;
constexpr std::size_t kMaxInput = 1u << 20;

struct Variant {
  const char* password = nullptr;
  int source = 0;  // 0 memory, 1 path, 2 lent handle
  std::uint32_t bufferLength = kChunk;
  bool abandonPass = false;
};

Variant VariantOf(const std::uint8_t* data, std::size_t size) {
  static const char* const kPasswords[] = {nullptr, "secret", "", "p\xC3\xA4ss\xFF"};
  const std::uint8_t last = size > 0 ? data[size - 1] : 0;
  Variant variant;
  variant.password = kPasswords[last & 3];
  variant.source = (last >> 2) & 3;
  if (variant.source == 3) variant.source = 0;
  // A length that is no divisor of 16,384, from the byte before the last.
  if ((last & 0x10) != 0) variant.bufferLength = 1 + (size > 1 ? data[size - 2] % 97 : 0);
  variant.abandonPass = (last & 0x20) != 0;
  return variant;
}

ArchiveHandle Open(const std::uint8_t* data, std::size_t size, const Variant& variant, ScratchFile* file) {
  if (variant.source == 0) return OpenArchiveFromMemory(data, static_cast<std::uint32_t>(size), variant.password);
  if (variant.source == 1) {
    if (!file->Write(nullptr, 0, data, size)) return nullptr;
    return OpenArchive(file->Path(), variant.password);
  }
  static const char kJunk[] = "MZ junk in front, as a self-extractor's stub";
  if (!file->Write(kJunk, sizeof kJunk, data, size)) return nullptr;
  return OpenArchiveFromHandle(file->OpenAt(sizeof kJunk), variant.password);
}

// The name is always terminated inside its 260 characters.
void CheckName(const ArchiveEntryInfo& info) {
  FUZZ_CHECK(std::char_traits<char16_t>::find(info.name, kEntryNameCapacity, 0) != nullptr);
}

// Reads entry index to its end, or until the work budget is spent.
void ReadWhole(ArchiveHandle handle, std::int32_t index, const ArchiveEntryInfo& info, bool described,
               std::uint8_t* buffer, std::uint32_t length, std::uint64_t* work) {
  std::uint64_t full = 0;  // bytes of the MoreData answers
  for (;;) {
    if (*work >= kWorkBudget) return;
    *work += length + kCallCost;
    const ArchiveResult result = ExtractEntryToMemory(handle, index, buffer, length);
    if (result == ArchiveResult::MoreData) {
      full += length;
      continue;
    }
    if (result == ArchiveResult::Ok && described) {
      // The caller's arithmetic for the last chunk must land inside the buffer: the reader never
      // delivers more than the directory's size, nor answers Ok before it is reached.
      const std::uint64_t declared = static_cast<std::uint32_t>(info.uncompressedSize);
      FUZZ_CHECK(declared >= full);
      FUZZ_CHECK(declared - full <= length);
      FUZZ_CHECK(declared == 0 || declared > full);
    }
    FUZZ_CHECK(result == ArchiveResult::Ok || result == ArchiveResult::Corrupt ||
               result == ArchiveResult::InflateFailed || result == ArchiveResult::PasswordMismatch);
    return;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput) return 0;
  const Variant variant = VariantOf(data, size);
  ScratchFile file;
  ArchiveHandle handle = Open(data, size, variant, &file);
  if (handle == nullptr) {
    FUZZ_CHECK(LastArchiveResult != ArchiveResult::Ok);
    return 0;
  }
  ArchiveEntryInfo info;
  FUZZ_CHECK(GetArchiveEntry(handle, -1, &info) == ArchiveResult::Ok);
  const std::int32_t count = info.index;
  FUZZ_CHECK(count >= 0 && count <= 0xFFFF);

  std::vector<std::uint8_t> heap(variant.bufferLength);  // exactly the length: ASan sees any overrun
  std::uint8_t* const buffer = heap.data();
  std::uint64_t work = 0;
  for (std::int32_t i = 0; i < count; ++i) {
    const ArchiveResult described = GetArchiveEntry(handle, i, &info);
    CheckName(info);
    const bool complete = described == ArchiveResult::Ok || described == ArchiveResult::NameTooLong ||
                          described == ArchiveResult::NameNotUtf8;
    if (complete) FUZZ_CHECK(info.index == i);
    ReadWhole(handle, i, info, complete, buffer, variant.bufferLength, &work);
  }
  if (variant.abandonPass) {
    for (std::int32_t i = count - 1; i >= 0; --i) {
      ExtractEntryToMemory(handle, i, buffer, variant.bufferLength);
      GetArchiveEntry(handle, i, &info);
      CheckName(info);
    }
  }
  FUZZ_CHECK(GetArchiveEntry(handle, count, &info) == ArchiveResult::BadArgument);
  FUZZ_CHECK(ExtractEntryToMemory(handle, count, buffer, variant.bufferLength) == ArchiveResult::BadArgument);
  FUZZ_CHECK(CloseArchive(handle) == ArchiveResult::Ok);
  return 0;
}
