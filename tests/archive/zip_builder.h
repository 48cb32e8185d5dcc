// Builds ZIP archives byte by byte for tests, so each case can hold exactly the structure it
// needs, then be damaged with the small mutators below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// 2021-06-15 12:34:56 as a DOS date (high word) and time (low word).
inline constexpr std::uint32_t kTestDosDateTime = 0x52CF645C;

struct TestEntry {
  std::string name;
  std::string data;          // uncompressed
  std::uint16_t method = 0;  // 0 stored, 8 deflated (by zlib), anything else: data stored as given
  bool encrypted = false;
  std::string password;                           // for encrypted entries
  bool dataDescriptor = false;                    // flag bit 3: local CRC and sizes zero, a descriptor after the data
  bool utf8Name = false;                          // flag bit 11: the name is UTF-8 by declaration
  std::uint16_t versionMadeBy = 0x031E;           // Unix, 3.0
  std::uint32_t externalAttributes = 0x81A40000;  // regular file, rw-r--r--
  std::uint32_t dosDateTime = kTestDosDateTime;
  std::string localExtra;
  std::string centralExtra;
  std::string comment;
};

// An entry with every other field at its default.
TestEntry MakeEntry(const std::string& name, const std::string& data, std::uint16_t method);

struct TestArchive {
  std::string prefix;  // bytes in front of the archive; stored offsets do not count them
  std::vector<TestEntry> entries;
  std::string comment;
};

// File offsets (prefix included) of what BuildZip wrote, for the mutators.
struct ZipLayout {
  std::vector<std::size_t> localHeader;
  std::vector<std::size_t> data;  // first byte after the local header (encryption header included)
  std::vector<std::size_t> centralRecord;
  std::size_t centralDirectory = 0;
  std::size_t endRecord = 0;
};

std::string BuildZip(const TestArchive& archive, ZipLayout* layout = nullptr);
std::string BuildZip(const std::vector<TestEntry>& entries, ZipLayout* layout = nullptr);

// Raw deflate (no zlib header), as method 8 stores it.
std::string RawDeflate(const std::string& data);
std::uint32_t Crc32Of(const std::string& data);
// Bytes that compress poorly, from a fixed seed.
std::string PseudoRandomBytes(std::size_t size, std::uint32_t seed);
// An extra-field sub-field: tag, 16-bit size, data.
std::string ExtraField(std::uint16_t tag, const std::string& data);
std::string Le16(std::uint32_t value);
std::string Le32(std::uint32_t value);

void PutLe16(std::string& bytes, std::size_t offset, std::uint32_t value);
void PutLe32(std::string& bytes, std::size_t offset, std::uint32_t value);
std::uint32_t GetLe32(const std::string& bytes, std::size_t offset);

// Offsets of fields inside the records (from the record's first byte).
namespace zipfield {
inline constexpr std::size_t kLocalFlags = 6, kLocalMethod = 8, kLocalCrc = 14, kLocalCompressed = 18,
                             kLocalUncompressed = 22, kLocalNameLength = 26;
inline constexpr std::size_t kCentralFlags = 8, kCentralMethod = 10, kCentralCrc = 16, kCentralCompressed = 20,
                             kCentralUncompressed = 24, kCentralNameLength = 28, kCentralLocalOffset = 42;
inline constexpr std::size_t kEndDisk = 4, kEndDirectoryDisk = 6, kEndEntriesOnDisk = 8, kEndTotalEntries = 10,
                             kEndDirectorySize = 12, kEndDirectoryOffset = 16, kEndCommentLength = 20;
}  // namespace zipfield
