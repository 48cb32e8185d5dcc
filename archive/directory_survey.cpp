#include "archive/directory_survey.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

// A record's fixed part and its name are needed together; a window of twice their largest size
// still holds both after one refill, whatever part of them it held before.
constexpr std::uint32_t kRecordHead = kCentralRecordSize + kLongestField;
constexpr std::uint32_t kWindowCapacity = 2 * kRecordHead;

struct DirectoryWindow {
  std::unique_ptr<unsigned char[]> bytes;
  std::uint32_t capacity = 0;
  std::uint64_t start = 0;   // file position of bytes[0]
  std::uint32_t length = 0;  // bytes held
  std::uint64_t end = 0;     // file position where the directory ends
};

// Bytes [position, position + n) of the directory (n at most kRecordHead); null when they run past
// its end or cannot be read. What the window already holds of them is kept, the rest read behind.
const unsigned char* View(ByteSource* source, DirectoryWindow* window, std::uint64_t position, std::uint32_t n) {
  if (position > window->end || window->end - position < n) return nullptr;
  const std::uint64_t held = window->start + window->length;
  if (position >= window->start && position + n <= held) return window->bytes.get() + (position - window->start);
  std::uint32_t kept = 0;
  if (position >= window->start && position < held) {
    kept = static_cast<std::uint32_t>(held - position);
    std::memmove(window->bytes.get(), window->bytes.get() + (position - window->start), kept);
  }
  const std::uint64_t from = position + kept;
  const auto wanted = static_cast<std::uint32_t>(std::min<std::uint64_t>(window->capacity - kept, window->end - from));
  window->start = position;
  window->length = 0;
  if (SourceSeek(source, static_cast<std::int64_t>(from), SeekOrigin::Start) != StatusOk ||
      SourceReadExact(source, window->bytes.get() + kept, wanted) != StatusOk) {
    return nullptr;
  }
  window->length = kept + wanted;
  return window->bytes.get();
}

// The bytes an entry occupies, relative to the archive's start: local header, name, extra field
// and data.
struct Region {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  std::uint32_t entry = 0;
};

// Reads the entry's local header with its name into buffer; true when it agrees with the record,
// name byte for byte, with the local extra field's length.
bool ReadLocalHeader(ByteSource* source, std::uint64_t prefixLength, const DirectoryRecord& record,
                     std::uint32_t localHeaderOffset, const unsigned char* centralName, unsigned char* buffer,
                     std::uint32_t* extraLength) {
  const std::uint64_t position = std::uint64_t{localHeaderOffset} + prefixLength;
  const std::uint32_t n = kLocalHeaderSize + record.nameLength;
  if (SourceSeek(source, static_cast<std::int64_t>(position), SeekOrigin::Start) != StatusOk ||
      SourceReadExact(source, buffer, n) != StatusOk || !LocalHeaderAgrees(buffer, record) ||
      std::memcmp(buffer + kLocalHeaderSize, centralName, record.nameLength) != 0) {
    return false;
  }
  *extraLength = ReadLe16(buffer + 28);
  return true;
}

// Every entry whose region shares a byte with another's is unsound. Sorted by start, a region
// overlaps an earlier one exactly when the furthest end before it lies beyond its start, and a
// later one exactly when it ends beyond the next start.
void MarkOverlaps(Region* regions, std::uint32_t count, EntryLayout* layouts) {
  std::sort(regions, regions + count,
            [](const Region& a, const Region& b) { return a.start != b.start ? a.start < b.start : a.end < b.end; });
  std::uint64_t reached = 0;
  for (std::uint32_t k = 0; k < count; ++k) {
    const Region& region = regions[k];
    const bool overlaps = (k > 0 && reached > region.start) || (k + 1 < count && region.end > regions[k + 1].start);
    if (overlaps) layouts[region.entry].sound = false;
    reached = std::max(reached, region.end);
  }
}

}  // namespace

bool SurveyDirectory(ByteSource* source, const DirectoryExtent& extent, std::unique_ptr<EntryLayout[]>* layouts) {
  const std::uint32_t count = extent.entryCount;
  if (std::uint64_t{count} * kCentralRecordSize > extent.size) return false;  // cannot fit
  DirectoryWindow window;
  window.start = std::uint64_t{extent.offset} + extent.prefixLength;
  window.end = window.start + extent.size;
  window.capacity = std::min(kWindowCapacity, extent.size);
  window.bytes.reset(new (std::nothrow) unsigned char[window.capacity]);
  std::unique_ptr<unsigned char[]> local(new (std::nothrow) unsigned char[kLocalHeaderSize + kLongestField]);
  std::unique_ptr<Region[]> regions(new (std::nothrow) Region[count]);
  layouts->reset(new (std::nothrow) EntryLayout[count]);
  if (window.bytes == nullptr || local == nullptr || regions == nullptr || *layouts == nullptr) return false;

  std::uint32_t regionCount = 0;
  std::uint64_t position = window.start;
  for (std::uint32_t i = 0; i < count; ++i) {
    const unsigned char* fixed = View(source, &window, position, kCentralRecordSize);
    if (fixed == nullptr || ReadLe32(fixed) != kCentralRecordSignature) return false;
    DirectoryRecord record;
    std::uint32_t localHeaderOffset = 0;
    DecodeDirectoryRecord(fixed, &record, &localHeaderOffset);
    const std::uint64_t next =
        position + kCentralRecordSize + record.nameLength + record.extraLength + record.commentLength;
    const unsigned char* name = View(source, &window, position + kCentralRecordSize, record.nameLength);
    if (next > window.end || name == nullptr) return false;
    std::uint32_t extraLength = 0;
    if (ReadLocalHeader(source, extent.prefixLength, record, localHeaderOffset, name, local.get(), &extraLength)) {
      const std::uint64_t end =
          std::uint64_t{localHeaderOffset} + kLocalHeaderSize + record.nameLength + extraLength + record.compressedSize;
      // Entries lie in front of the directory. One that runs into it is unsound by itself, and
      // its claim does not make the entries it would cover suspect.
      if (end <= extent.offset) {
        (*layouts)[i].localExtraLength = static_cast<std::uint16_t>(extraLength);
        (*layouts)[i].sound = true;
        regions[regionCount++] = Region{localHeaderOffset, end, i};
      }
    }
    position = next;
  }
  if (position != window.end) return false;  // the count and the directory disagree
  MarkOverlaps(regions.get(), regionCount, layouts->get());
  return true;
}
