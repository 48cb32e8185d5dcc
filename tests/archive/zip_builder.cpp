#include "zip_builder.h"

#include <zlib.h>

#include "archive/traditional_cipher.h"

TestEntry MakeEntry(const std::string& name, const std::string& data, std::uint16_t method) {
  TestEntry entry;
  entry.name = name;
  entry.data = data;
  entry.method = method;
  return entry;
}

std::string Le16(std::uint32_t value) {
  return std::string{static_cast<char>(value & 0xFF), static_cast<char>((value >> 8) & 0xFF)};
}

std::string Le32(std::uint32_t value) { return Le16(value & 0xFFFF) + Le16(value >> 16); }

void PutLe16(std::string& bytes, std::size_t offset, std::uint32_t value) { bytes.replace(offset, 2, Le16(value)); }

void PutLe32(std::string& bytes, std::size_t offset, std::uint32_t value) { bytes.replace(offset, 4, Le32(value)); }

std::uint32_t GetLe32(const std::string& bytes, std::size_t offset) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[offset + i]);
  return value;
}

std::string ExtraField(std::uint16_t tag, const std::string& data) {
  return Le16(tag) + Le16(static_cast<std::uint32_t>(data.size())) + data;
}

std::uint32_t Crc32Of(const std::string& data) {
  return static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

std::string RawDeflate(const std::string& data) {
  z_stream stream{};
  deflateInit2(&stream, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&stream, static_cast<uLong>(data.size())) + 16, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
  stream.avail_out = static_cast<uInt>(out.size());
  deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

std::string PseudoRandomBytes(std::size_t size, std::uint32_t seed) {
  std::string bytes(size, '\0');
  std::uint32_t state = seed * 2654435761u + 1;
  for (char& byte : bytes) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    byte = static_cast<char>(state >> 24);
  }
  return bytes;
}

namespace {

std::string Encrypt(const TestEntry& entry, const std::string& compressed, std::uint32_t crc) {
  CipherKeys keys = KeysForPassword(entry.password.c_str());
  std::string header = PseudoRandomBytes(11, crc ^ 0x5A5A);
  header += static_cast<char>(entry.dataDescriptor ? (entry.dosDateTime >> 8) & 0xFF : crc >> 24);
  std::string out = header + compressed;
  for (char& byte : out) {
    const std::uint32_t t = (keys.key2 & 0xFFFF) | 2;
    const auto plain = static_cast<unsigned char>(byte);
    byte = static_cast<char>(plain ^ (((t * (t ^ 1)) >> 8) & 0xFF));
    UpdateKeys(&keys, plain);
  }
  return out;
}

std::uint16_t FlagsOf(const TestEntry& entry) {
  return static_cast<std::uint16_t>((entry.encrypted ? 1 : 0) | (entry.dataDescriptor ? 8 : 0) |
                                    (entry.utf8Name ? 0x800 : 0));
}

}  // namespace

std::string BuildZip(const TestArchive& archive, ZipLayout* layout) {
  ZipLayout positions;
  std::string zip;
  std::string central;
  for (const TestEntry& entry : archive.entries) {
    const std::uint32_t crc = Crc32Of(entry.data);
    std::string stored = entry.method == 8 ? RawDeflate(entry.data) : entry.data;
    if (entry.encrypted) stored = Encrypt(entry, stored, crc);
    const auto localOffset = static_cast<std::uint32_t>(zip.size());
    const auto size = static_cast<std::uint32_t>(entry.data.size());
    const auto compressed = static_cast<std::uint32_t>(stored.size());
    const std::string sizes = Le32(crc) + Le32(compressed) + Le32(size);
    positions.localHeader.push_back(archive.prefix.size() + zip.size());
    zip += Le32(0x04034b50) + Le16(20) + Le16(FlagsOf(entry)) + Le16(entry.method) + Le32(entry.dosDateTime);
    zip += entry.dataDescriptor ? std::string(12, '\0') : sizes;
    zip += Le16(static_cast<std::uint32_t>(entry.name.size())) +
           Le16(static_cast<std::uint32_t>(entry.localExtra.size())) + entry.name + entry.localExtra;
    positions.data.push_back(archive.prefix.size() + zip.size());
    zip += stored;
    if (entry.dataDescriptor) zip += Le32(0x08074b50) + sizes;
    central += Le32(0x02014b50) + Le16(entry.versionMadeBy) + Le16(20) + Le16(FlagsOf(entry)) + Le16(entry.method) +
               Le32(entry.dosDateTime) + sizes + Le16(static_cast<std::uint32_t>(entry.name.size())) +
               Le16(static_cast<std::uint32_t>(entry.centralExtra.size())) +
               Le16(static_cast<std::uint32_t>(entry.comment.size())) + Le16(0) + Le16(0) +
               Le32(entry.externalAttributes) + Le32(localOffset) + entry.name + entry.centralExtra + entry.comment;
  }
  const auto directoryOffset = static_cast<std::uint32_t>(zip.size());
  positions.centralDirectory = archive.prefix.size() + directoryOffset;
  std::size_t recordOffset = positions.centralDirectory;
  for (const TestEntry& entry : archive.entries) {
    positions.centralRecord.push_back(recordOffset);
    recordOffset += 46 + entry.name.size() + entry.centralExtra.size() + entry.comment.size();
  }
  zip += central;
  positions.endRecord = archive.prefix.size() + zip.size();
  const auto count = static_cast<std::uint32_t>(archive.entries.size());
  zip += Le32(0x06054b50) + Le16(0) + Le16(0) + Le16(count) + Le16(count) +
         Le32(static_cast<std::uint32_t>(central.size())) + Le32(directoryOffset) +
         Le16(static_cast<std::uint32_t>(archive.comment.size())) + archive.comment;
  if (layout != nullptr) *layout = positions;
  return archive.prefix + zip;
}

std::string BuildZip(const std::vector<TestEntry>& entries, ZipLayout* layout) {
  TestArchive archive;
  archive.entries = entries;
  return BuildZip(archive, layout);
}
