// The floor of the extraction benchmark: what unpacking an archive costs with nothing in the way.
// The whole archive is loaded into memory first (timed apart); then every entry is inflated whole
// with zlib (raw deflate) into one reused buffer, or taken in place when stored, its CRC-32 checked,
// and written to its file with one write call. Entry positions come from an index made by an
// independent archiver (see run_bench.py); only the 30-byte local header is read here.
//
//   quorvane_bench_floor INDEX ARCHIVE FOLDER
//
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

namespace {

constexpr std::uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr std::uint64_t kLocalHeaderSize = 30;
constexpr std::uint64_t kLocalNameLengthOffset = 26;
constexpr std::uint64_t kLocalExtraLengthOffset = 28;
constexpr int kStored = 0;
constexpr int kDeflated = 8;

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

bool LoadFile(const char* path, std::vector<unsigned char>* bytes) {
  const int fd = open(path, O_RDONLY);
  if (fd < 0) return false;
  struct stat info;
  bool ok = fstat(fd, &info) == 0;
  if (ok) bytes->resize(static_cast<std::size_t>(info.st_size));
  std::size_t have = 0;
  while (ok && have < bytes->size()) {
    const ssize_t n = read(fd, bytes->data() + have, bytes->size() - have);
    if (n <= 0)
      ok = false;
    else
      have += static_cast<std::size_t>(n);
  }
  close(fd);
  return ok;
}

bool WriteWhole(const std::string& path, const unsigned char* data, std::uint64_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  bool ok = true;
  while (ok && size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n <= 0)
      ok = false;
    else {
      data += n;
      size -= static_cast<std::uint64_t>(n);
    }
  }
  return close(fd) == 0 && ok;
}

// Where the entry's data starts in the archive, or 0 when its local header is not there.
std::uint64_t DataOffset(const std::vector<unsigned char>& archive, const IndexEntry& entry) {
  if (entry.headerOffset > archive.size() || archive.size() - entry.headerOffset < kLocalHeaderSize) return 0;
  const unsigned char* header = archive.data() + entry.headerOffset;
  if (Le32(header) != kLocalHeaderSignature) return 0;
  const std::uint64_t start = entry.headerOffset + kLocalHeaderSize + Le16(header + kLocalNameLengthOffset) +
                              Le16(header + kLocalExtraLengthOffset);
  if (start > archive.size() || archive.size() - start < entry.compressedSize) return 0;
  return start;
}

// The entry's bytes: in place when stored, else inflated into output (large enough). Null on failure.
const unsigned char* Unpack(z_stream* stream, const unsigned char* data, const IndexEntry& entry,
                            unsigned char* output) {
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

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s INDEX ARCHIVE FOLDER\n", argv[0]);
    return 2;
  }
  std::vector<IndexEntry> entries;
  if (!ReadIndex(argv[1], &entries)) {
    std::fprintf(stderr, "floor: cannot read the index %s\n", argv[1]);
    return 1;
  }
  const double loadStart = Now();
  std::vector<unsigned char> archive;
  if (!LoadFile(argv[2], &archive)) {
    std::fprintf(stderr, "floor: cannot read %s\n", argv[2]);
    return 1;
  }
  const double loadTime = Now() - loadStart;

  std::uint64_t largest = 0;
  for (const IndexEntry& entry : entries)
    if (entry.size > largest) largest = entry.size;
  std::vector<unsigned char> output(static_cast<std::size_t>(largest) + 1);
  z_stream stream;
  std::memset(&stream, 0, sizeof stream);
  if (inflateInit2(&stream, -15) != Z_OK) return 1;

  const std::string folder = argv[3];
  if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "floor: cannot create %s\n", argv[3]);
    return 1;
  }
  double unpackTime = 0, writeTime = 0;
  std::uint64_t total = 0;
  int failures = 0;
  const double start = Now();
  const double cpuStart = CpuNow();
  for (const IndexEntry& entry : entries) {
    const std::string path = folder + "/" + entry.name;
    if (entry.name.back() == '/') {
      const double t = Now();
      if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) ++failures;
      writeTime += Now() - t;
      continue;
    }
    const double t0 = Now();
    const std::uint64_t offset = DataOffset(archive, entry);
    const unsigned char* bytes = offset == 0 ? nullptr : Unpack(&stream, archive.data() + offset, entry, output.data());
    const bool crcMatches = bytes != nullptr && crc32(0L, bytes, static_cast<uInt>(entry.size)) == entry.crc;
    const double t1 = Now();
    const bool written = crcMatches && WriteWhole(path, bytes, entry.size);
    writeTime += Now() - t1;
    unpackTime += t1 - t0;
    if (!written) {
      std::fprintf(stderr, "floor: %s: %s\n", entry.name.c_str(), crcMatches ? "cannot write" : "bad data");
      ++failures;
    }
    total += entry.size;
  }
  const double floorTime = Now() - start;
  const double floorCpuTime = CpuNow() - cpuStart;
  inflateEnd(&stream);
  std::printf("entries=%zu bytes=%" PRIu64
              " load_s=%.4f inflate_crc_s=%.4f write_s=%.4f floor_s=%.4f floor_cpu_s=%.4f\n",
              entries.size(), total, loadTime, unpackTime, writeTime, floorTime, floorCpuTime);
  return failures == 0 ? 0 : 1;
}
