// The floor of the extraction benchmark: what unpacking an archive costs with nothing in the way.
// The whole archive is loaded into memory first (timed apart); then every entry is inflated whole
// with zlib (raw deflate) into one reused buffer, or taken in place when stored, its CRC-32 checked,
// and written to its file with one write call. Entry positions come from an index made by an
// independent archiver (see run_bench.py); only the 30-byte local header is read here.
//
//   quorvane_bench_floor [--streamed] INDEX ARCHIVE FOLDER
//
// --streamed: the same work in the reader's model instead, from the file: 16 KiB blocks, each
// read after a seek, inflated into folder extraction's output chunk, which is written whole.
// Index lines: "<local header offset> <method> <compressed size> <size> <crc32> <name>".
// Prints one line of figures (wall and CPU seconds); exits 1 if any entry is unreadable or does not match its CRC-32.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "deploy/unzip_folder.h"  // kUnzipChunkSize: the output chunk of folder extraction

namespace {

constexpr std::uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr std::uint64_t kLocalHeaderSize = 30;
constexpr std::uint64_t kLocalNameLengthOffset = 26;
constexpr std::uint64_t kLocalExtraLengthOffset = 28;
constexpr int kStored = 0;
constexpr int kDeflated = 8;
constexpr std::uint32_t kBlockSize = 16384;  // the reader's input blocks

struct IndexEntry {
  std::uint64_t headerOffset = 0;
  int method = 0;
  std::uint64_t compressedSize = 0;
  std::uint64_t size = 0;
  std::uint32_t crc = 0;
  std::string name;
};

double Seconds(clockid_t clock) {
  timespec t;
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}
double Now() { return Seconds(CLOCK_MONOTONIC); }
double CpuNow() { return Seconds(CLOCK_PROCESS_CPUTIME_ID); }  // user + system

std::uint32_t Le16(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8);
}
std::uint32_t Le32(const unsigned char* p) { return Le16(p) | (Le16(p + 2) << 16); }

bool ReadIndex(const char* path, std::vector<IndexEntry>* entries) {
  FILE* file = std::fopen(path, "r");
  if (file == nullptr) return false;
  char line[4096];
  bool ok = true;
  while (ok && std::fgets(line, sizeof line, file) != nullptr) {
    IndexEntry entry;
    unsigned long long offset = 0, compressed = 0, size = 0;
    unsigned long crc = 0;
    int consumed = 0;
    if (std::sscanf(line, "%llu %d %llu %llu %lu %n", &offset, &entry.method, &compressed, &size, &crc, &consumed) !=
        5) {
      ok = false;
      break;
    }
    entry.headerOffset = offset;
    entry.compressedSize = compressed;
    entry.size = size;
    entry.crc = static_cast<std::uint32_t>(crc);
    entry.name = line + consumed;
    while (!entry.name.empty() && (entry.name.back() == '\n' || entry.name.back() == '\r')) entry.name.pop_back();
    ok = !entry.name.empty();
    entries->push_back(entry);
  }
  std::fclose(file);
  return ok;
}

bool ReadAll(int fd, unsigned char* data, std::uint64_t size) {
  while (size > 0) {
    const ssize_t n = read(fd, data, size);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::uint64_t>(n);
  }
  return true;
}

bool WriteAll(int fd, const unsigned char* data, std::uint64_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::uint64_t>(n);
  }
  return true;
}

bool LoadFile(const char* path, std::vector<unsigned char>* bytes) {
  const int fd = open(path, O_RDONLY);
  if (fd < 0) return false;
  struct stat info;
  bool ok = fstat(fd, &info) == 0;
  if (ok) bytes->resize(static_cast<std::size_t>(info.st_size));
  ok = ok && ReadAll(fd, bytes->data(), bytes->size());
  close(fd);
  return ok;
}

// Where the entry's data starts, from its local header, or 0 when the header is not there or
// the data would not fit in an archive of archiveSize bytes.
std::uint64_t DataOffset(const unsigned char (&header)[kLocalHeaderSize], const IndexEntry& entry,
                         std::uint64_t archiveSize) {
  if (Le32(header) != kLocalHeaderSignature) return 0;
  const std::uint64_t start = entry.headerOffset + kLocalHeaderSize + Le16(header + kLocalNameLengthOffset) +
                              Le16(header + kLocalExtraLengthOffset);
  return start <= archiveSize && archiveSize - start >= entry.compressedSize ? start : 0;
}

struct Totals {
  double unpackTime = 0;  // whole mode: inflating and checking; streamed mode: everything but writes
  double writeTime = 0;
  std::uint64_t bytes = 0;
};

// Whole mode: the entry's bytes in place when stored, else inflated into output (large enough).
const unsigned char* UnpackWhole(z_stream* stream, const std::vector<unsigned char>& archive, const IndexEntry& entry,
                                 unsigned char* output) {
  if (entry.headerOffset > archive.size() || archive.size() - entry.headerOffset < kLocalHeaderSize) return nullptr;
  unsigned char header[kLocalHeaderSize];
  std::memcpy(header, archive.data() + entry.headerOffset, kLocalHeaderSize);
  const std::uint64_t offset = DataOffset(header, entry, archive.size());
  if (offset == 0) return nullptr;
  const unsigned char* data = archive.data() + offset;
  if (entry.method == kStored) return entry.compressedSize == entry.size ? data : nullptr;
  if (entry.method != kDeflated || inflateReset(stream) != Z_OK) return nullptr;
  stream->next_in = const_cast<unsigned char*>(data);
  stream->avail_in = static_cast<uInt>(entry.compressedSize);
  stream->next_out = output;
  stream->avail_out = static_cast<uInt>(entry.size);
  const int result = inflate(stream, Z_FINISH);
  if (entry.size == 0 && result == Z_BUF_ERROR) return output;  // nothing to produce, nothing asked
  return result == Z_STREAM_END && stream->total_out == entry.size ? output : nullptr;
}

bool ExtractWhole(z_stream* stream, const std::vector<unsigned char>& archive, const IndexEntry& entry,
                  const std::string& path, unsigned char* output, Totals* totals) {
  const double t0 = Now();
  const unsigned char* bytes = UnpackWhole(stream, archive, entry, output);
  const bool crcMatches = bytes != nullptr && crc32(0L, bytes, static_cast<uInt>(entry.size)) == entry.crc;
  const double t1 = Now();
  bool written = false;
  if (crcMatches) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    written = fd >= 0 && WriteAll(fd, bytes, entry.size);
    if (fd >= 0 && close(fd) != 0) written = false;
  }
  totals->writeTime += Now() - t1;
  totals->unpackTime += t1 - t0;
  if (!written) std::fprintf(stderr, "floor: %s: %s\n", entry.name.c_str(), crcMatches ? "cannot write" : "bad data");
  return written;
}

// Streamed mode: the next block of at most kBlockSize bytes at *position, with a seek before it.
bool ReadBlock(int archive, std::uint64_t* position, std::uint64_t* left, unsigned char* block, std::uint32_t* got) {
  *got = *left < kBlockSize ? static_cast<std::uint32_t>(*left) : kBlockSize;
  if (lseek(archive, static_cast<off_t>(*position), SEEK_SET) < 0 || !ReadAll(archive, block, *got)) return false;
  *position += *got;
  *left -= *got;
  return true;
}

bool ExtractStreamed(z_stream* stream, int archive, std::uint64_t archiveSize, const IndexEntry& entry,
                     const std::string& path, Totals* totals) {
  static unsigned char input[kBlockSize];
  static unsigned char chunk[kUnzipChunkSize];
  unsigned char header[kLocalHeaderSize];
  std::uint64_t position = entry.headerOffset;
  std::uint64_t headerLeft = kLocalHeaderSize;
  std::uint32_t got = 0;
  if (!ReadBlock(archive, &position, &headerLeft, header, &got)) return false;
  position = DataOffset(header, entry, archiveSize);
  if (position == 0 || (entry.method != kStored && entry.method != kDeflated) || inflateReset(stream) != Z_OK) {
    return false;
  }
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  std::uint64_t left = entry.compressedSize;
  std::uint64_t delivered = 0;
  std::uint32_t crc = 0;
  bool ok = true;
  bool ended = entry.size == 0;
  stream->avail_in = 0;
  while (ok && !ended) {
    std::uint32_t produced = 0;
    if (entry.method == kStored) {
      // Straight into the chunk, a block at a time.
      while (ok && !ended && kUnzipChunkSize - produced >= kBlockSize) {
        ok = left > 0 && ReadBlock(archive, &position, &left, chunk + produced, &got);
        produced += got;
        ended = left == 0;
      }
    } else {
      stream->next_out = chunk;
      stream->avail_out = kUnzipChunkSize;
      while (ok && stream->avail_out > 0 && !ended) {
        if (stream->avail_in == 0) {
          ok = left > 0 && ReadBlock(archive, &position, &left, input, &got);
          stream->next_in = input;
          stream->avail_in = got;
        }
        const int result = ok ? inflate(stream, Z_SYNC_FLUSH) : Z_DATA_ERROR;
        ended = result == Z_STREAM_END;
        ok = ok && (result == Z_OK || ended);
      }
      produced = kUnzipChunkSize - stream->avail_out;
    }
    crc = static_cast<std::uint32_t>(crc32(crc, chunk, produced));
    delivered += produced;
    const double t = Now();
    ok = ok && WriteAll(fd, chunk, produced);
    totals->writeTime += Now() - t;
  }
  if (close(fd) != 0) ok = false;
  return ok && delivered == entry.size && crc == entry.crc;
}

}  // namespace

int main(int argc, char** argv) {
  const bool streamed = argc == 5 && std::strcmp(argv[1], "--streamed") == 0;
  if (argc != 4 && !streamed) {
    std::fprintf(stderr, "usage: %s [--streamed] INDEX ARCHIVE FOLDER\n", argv[0]);
    return 2;
  }
  const char* indexPath = argv[argc - 3];
  const char* archivePath = argv[argc - 2];
  const std::string folder = argv[argc - 1];
  std::vector<IndexEntry> entries;
  if (!ReadIndex(indexPath, &entries)) {
    std::fprintf(stderr, "floor: cannot read the index %s\n", indexPath);
    return 1;
  }
  const double loadStart = Now();
  std::vector<unsigned char> archive;
  const int archiveFile = streamed ? open(archivePath, O_RDONLY) : -1;
  struct stat archiveInfo;
  if (streamed ? archiveFile < 0 || fstat(archiveFile, &archiveInfo) != 0 : !LoadFile(archivePath, &archive)) {
    std::fprintf(stderr, "floor: cannot read %s\n", archivePath);
    return 1;
  }
  const double loadTime = Now() - loadStart;

  std::uint64_t largest = 0;
  for (const IndexEntry& entry : entries)
    if (entry.size > largest) largest = entry.size;
  std::vector<unsigned char> output(streamed ? 0 : static_cast<std::size_t>(largest) + 1);
  z_stream stream;
  std::memset(&stream, 0, sizeof stream);
  if (inflateInit2(&stream, -15) != Z_OK) return 1;

  if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "floor: cannot create %s\n", folder.c_str());
    return 1;
  }
  Totals totals;
  int failures = 0;
  const double start = Now();
  const double cpuStart = CpuNow();
  for (const IndexEntry& entry : entries) {
    const std::string path = folder + "/" + entry.name;
    if (entry.name.back() == '/') {
      const double t = Now();
      if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) ++failures;
      totals.writeTime += Now() - t;
      continue;
    }
    const double t = Now();
    const double writeBefore = totals.writeTime;
    bool ok = false;
    if (streamed) {
      ok = ExtractStreamed(&stream, archiveFile, static_cast<std::uint64_t>(archiveInfo.st_size), entry, path, &totals);
      totals.unpackTime += (Now() - t) - (totals.writeTime - writeBefore);
      if (!ok) std::fprintf(stderr, "floor: %s: bad data or cannot write\n", entry.name.c_str());
    } else {
      ok = ExtractWhole(&stream, archive, entry, path, output.data(), &totals);
    }
    if (!ok) ++failures;
    totals.bytes += entry.size;
  }
  const double floorTime = Now() - start;
  const double floorCpuTime = CpuNow() - cpuStart;
  inflateEnd(&stream);
  if (archiveFile >= 0) close(archiveFile);
  std::printf("entries=%zu bytes=%" PRIu64
              " load_s=%.4f inflate_crc_s=%.4f write_s=%.4f floor_s=%.4f floor_cpu_s=%.4f\n",
              entries.size(), totals.bytes, loadTime, totals.unpackTime, totals.writeTime, floorTime, floorCpuTime);
  return failures == 0 ? 0 : 1;
}
