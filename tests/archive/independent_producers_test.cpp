// Archives of Info-ZIP zip and Python's zipfile (made by make_fixtures.py before the tests) read
// back byte for byte against the files they were made from, and listed as zipfile lists them.
#include <gtest/gtest.h>

#include <sstream>

#include "archive_test_support.h"

namespace {

using R = ArchiveResult;

struct Listed {
  std::string name;
  std::uint32_t size = 0;
  std::uint32_t compressedSize = 0;
};

std::vector<std::string> Lines(const std::u16string& path) {
  std::string text;
  EXPECT_TRUE(ReadWholeFile(path, &text)) << Utf8(path) << " (made by the archive_fixtures test)";
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::istringstream stream(line);
  for (std::string field; std::getline(stream, field, '\t');) fields.push_back(field);
  return fields;
}

struct FixtureArchive {
  std::string name;
  std::string password;  // empty: none
  std::vector<Listed> entries;
};

std::vector<FixtureArchive> Fixtures() {
  std::vector<FixtureArchive> archives;
  for (const std::string& line : Lines(u"fixtures/manifest.txt")) {
    const std::vector<std::string> fields = Fields(line);
    if (fields.size() != 2) continue;
    FixtureArchive archive{fields[0], fields[1] == "-" ? "" : fields[1], {}};
    for (const std::string& entry : Lines(Utf16("fixtures/" + archive.name + ".list"))) {
      const std::vector<std::string> values = Fields(entry);
      if (values.size() == 3) {
        archive.entries.push_back({values[0], static_cast<std::uint32_t>(std::stoul(values[1])),
                                   static_cast<std::uint32_t>(std::stoul(values[2]))});
      }
    }
    archives.push_back(archive);
  }
  EXPECT_GE(archives.size(), 9u);
  return archives;
}

bool IsFolderName(const std::string& name) { return !name.empty() && name.back() == '/'; }

TEST(IndependentProducers, EveryEntryReadsBackAsTheOriginalFile) {
  for (const FixtureArchive& archive : Fixtures()) {
    SCOPED_TRACE(archive.name);
    OpenedArchive handle =
        OpenPath(Utf16("fixtures/" + archive.name), archive.password.empty() ? nullptr : archive.password.c_str());
    ASSERT_NE(handle, nullptr);
    ArchiveEntryInfo info;
    ASSERT_EQ(GetArchiveEntry(handle.get(), -1, &info), R::Ok);
    ASSERT_EQ(info.index, static_cast<std::int32_t>(archive.entries.size()));
    for (std::int32_t i = 0; i < info.index; ++i) {
      const Listed& listed = archive.entries[i];
      SCOPED_TRACE(listed.name);
      ASSERT_EQ(GetArchiveEntry(handle.get(), i, &info), R::Ok);
      EXPECT_EQ(Utf8(info.name), listed.name);
      EXPECT_EQ(static_cast<std::uint32_t>(info.uncompressedSize), listed.size);
      EXPECT_EQ(static_cast<std::uint32_t>(info.compressedSize), listed.compressedSize);
      EXPECT_EQ((info.attributes & 0x10) != 0, IsFolderName(listed.name));
      std::string original;
      if (!IsFolderName(listed.name)) {
        ASSERT_TRUE(ReadWholeFile(Utf16("fixtures/tree/" + listed.name), &original));
      }
      const Extraction extraction = ExtractWhole(handle.get(), i, listed.size);
      EXPECT_EQ(extraction.results.back(), R::Ok);
      EXPECT_TRUE(extraction.data == original);
    }
  }
}

TEST(IndependentProducers, EncryptedEntriesNeedTheirPassword) {
  for (const FixtureArchive& archive : Fixtures()) {
    if (archive.password.empty()) continue;
    SCOPED_TRACE(archive.name);
    for (const char* password : {static_cast<const char*>(nullptr), "Secret", "secret!"}) {
      OpenedArchive handle = OpenPath(Utf16("fixtures/" + archive.name), password);
      ASSERT_NE(handle, nullptr);
      for (std::size_t i = 0; i < archive.entries.size(); ++i) {
        if (archive.entries[i].size == 0) continue;
        const ArchiveResult result =
            ExtractWhole(handle.get(), static_cast<std::int32_t>(i), archive.entries[i].size).results.back();
        // One wrong password in 256 passes the one-byte header check (the producer's header is
        // random); its data then fails the CRC, or, deflated, is no deflate stream at all.
        EXPECT_TRUE(result == R::PasswordMismatch || result == R::Corrupt || result == R::InflateFailed)
            << archive.entries[i].name << " " << static_cast<unsigned>(result);
      }
    }
  }
}

}  // namespace
