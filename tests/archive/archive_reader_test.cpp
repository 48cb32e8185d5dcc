// The reader's directory, its extraction contract and every failure row, on archives built here.
#include <gtest/gtest.h>

#include <cstring>

#include "archive/archive_state.h"
#include "archive_test_support.h"
#include "zip_builder.h"

namespace {

using R = ArchiveResult;
using zipfield::kCentralCompressed;

TestEntry Entry(const std::string& name, const std::string& data, std::uint16_t method = 0) {
  return MakeEntry(name, data, method);
}

std::int32_t EntryCount(ArchiveHandle handle) {
  ArchiveEntryInfo info;
  EXPECT_EQ(GetArchiveEntry(handle, -1, &info), R::Ok);
  return info.index;
}

const std::string kText = "The quick brown fox jumps over the lazy dog.\n";

// --- Finding the directory -------------------------------------------------------------------

// Behind a 1,500-byte comment the end record is in the second window; behind the longest one, at
// the far end of the search.
TEST(ArchiveDirectory, OpensBehindCommentsUpToTheLongest) {
  for (const std::size_t commentLength : {1500u, 65535u}) {
    TestArchive archive;
    archive.entries = {Entry("a.txt", kText)};
    archive.comment = std::string(commentLength, 'c');
    const std::string zip = BuildZip(archive);
    OpenedArchive handle = OpenBytes(zip);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(LastArchiveResult, R::Ok);
    EXPECT_EQ(ExtractDescribed(handle.get(), 0).data, kText);
  }
}

TEST(ArchiveDirectory, TakesTheEndRecordNearestTheEnd) {
  // The outer end record's comment holds a second one that declares one entry of the two: being
  // nearer the end, it is the one taken, and the archive is refused. Cut so that no record fits
  // behind it, the signature is none, and the outer record is taken.
  TestArchive archive;
  archive.entries = {Entry("a.txt", kText), Entry("b.txt", "b")};
  ZipLayout layout;
  std::string zip = BuildZip(archive, &layout);
  std::string second = zip.substr(layout.endRecord, 22);
  PutLe16(second, zipfield::kEndEntriesOnDisk, 1);
  PutLe16(second, zipfield::kEndTotalEntries, 1);
  std::string cut = zip;
  PutLe16(zip, layout.endRecord + zipfield::kEndCommentLength, 22);
  zip += second;
  EXPECT_EQ(OpenBytes(zip), nullptr);
  PutLe16(cut, layout.endRecord + zipfield::kEndCommentLength, 21);
  cut += second.substr(0, 21);
  OpenedArchive handle = OpenBytes(cut);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(EntryCount(handle.get()), 2);
}

TEST(ArchiveDirectory, RefusesWhatHoldsNoEndRecordOrDirectoryToTrust) {
  const std::string good = BuildZip({Entry("a.txt", kText)});
  ZipLayout layout;
  BuildZip({Entry("a.txt", kText)}, &layout);
  struct Case {
    const char* what;
    std::string bytes;
  };
  std::vector<Case> cases = {
      {"empty file", ""},
      {"four bytes", "PK\x05\x06"},
      {"no signature", std::string(5000, 'x')},
      {"end record only partly there", good.substr(0, good.size() - 5)},
      {"signature further back than the longest comment", good + std::string(65536, 'z')},
  };
  const auto mutated = [&](std::size_t field, std::uint32_t value, bool wide) {
    std::string bytes = good;
    wide ? PutLe32(bytes, layout.endRecord + field, value) : PutLe16(bytes, layout.endRecord + field, value);
    return bytes;
  };
  cases.push_back({"3 entries in total, 2 on this disk", mutated(zipfield::kEndTotalEntries, 3, false)});
  cases.push_back({"disk number 1", mutated(zipfield::kEndDisk, 1, false)});
  cases.push_back({"directory on disk 1", mutated(zipfield::kEndDirectoryDisk, 1, false)});
  cases.push_back({"directory runs past the end record", mutated(zipfield::kEndDirectorySize, 0xFFFFFF00, true)});
  cases.push_back({"directory offset wraps 32 bits", mutated(zipfield::kEndDirectoryOffset, 0xFFFFFFF0, true)});
  // The directory and its count must agree: no part of the client installed as if it were all,
  // and no walk over records that are not there.
  const std::string three = BuildZip({Entry("a.txt", kText), Entry("b", "b"), Entry("c", "c")}, &layout);
  const auto damaged = [&](std::size_t at, std::uint32_t value, int width) {
    std::string bytes = three;
    width == 1 ? void(bytes[at] = 'X') : width == 2 ? PutLe16(bytes, at, value) : PutLe32(bytes, at, value);
    if (at == layout.endRecord + zipfield::kEndTotalEntries) PutLe16(bytes, at - 2, value);
    return bytes;
  };
  const std::size_t total = layout.endRecord + zipfield::kEndTotalEntries;
  const std::size_t lastName = layout.centralRecord[2] + zipfield::kCentralNameLength;
  cases.push_back({"count smaller than the directory", damaged(total, 2, 2)});
  cases.push_back({"3 records claiming 65,535 entries", damaged(total, 65535, 2)});
  cases.push_back({"central record signature broken", damaged(layout.centralRecord[1], 0, 1)});
  cases.push_back({"walk ends before the directory does", damaged(lastName, 0, 2)});
  cases.push_back({"last record runs past the directory", damaged(lastName, 200, 2)});
  const std::uint32_t size = GetLe32(three, layout.endRecord + zipfield::kEndDirectorySize);
  cases.push_back(
      {"directory size one byte short", damaged(layout.endRecord + zipfield::kEndDirectorySize, size - 1, 4)});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LastArchiveResult = R::Ok;
    OpenedArchive handle = OpenBytes(c.bytes);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(LastArchiveResult, R::OpenFailed);
  }
}

TEST(ArchiveDirectory, ReadsEverythingBehindDataInFrontOfTheArchive) {
  TestArchive archive;
  archive.prefix = PseudoRandomBytes(3000, 7);
  archive.entries = {Entry("a.txt", kText), Entry("b.bin", PseudoRandomBytes(20000, 2), 8)};
  archive.entries[1].localExtra = ExtraField(0x5455, std::string("\x01", 1) + Le32(1000000000));
  const std::string zip = BuildZip(archive);
  OpenedArchive handle = OpenBytes(zip);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(ExtractDescribed(handle.get(), 0).data, kText);
  EXPECT_EQ(ExtractDescribed(handle.get(), 1).data, archive.entries[1].data);
  ArchiveEntryInfo info;
  ASSERT_EQ(GetArchiveEntry(handle.get(), 1, &info), R::Ok);  // local extra field found at offset + prefix
  EXPECT_EQ(FileTimeValue(info.writeTime), 1000000000ull * 10000000 + 116444736000000000ull);
}

TEST(ArchiveDirectory, OpensEmptyArchive) {
  const std::string zip = BuildZip(std::vector<TestEntry>{});
  OpenedArchive handle = OpenBytes(zip);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(EntryCount(handle.get()), 0);
  ArchiveEntryInfo info;
  EXPECT_EQ(GetArchiveEntry(handle.get(), 0, &info), R::BadArgument);
  char buffer[16];
  EXPECT_EQ(ExtractEntryToMemory(handle.get(), 0, buffer, sizeof buffer), R::BadArgument);
}

TEST(ArchiveDirectory, FileAndLentHandleSourcesReadLikeMemory) {
  TestArchive archive;
  archive.prefix = "stub!";
  archive.entries = {Entry("a.txt", kText), Entry("big.bin", PseudoRandomBytes(70000, 3), 8)};
  const std::string zip = BuildZip(archive);
  const std::u16string path = ScratchFolder("sources") + u"/archive.zip";
  ASSERT_TRUE(WriteWholeFile(path, zip));
  OpenedArchive byPath = OpenPath(path);
  ASSERT_NE(byPath, nullptr);
  EXPECT_EQ(ExtractDescribed(byPath.get(), 1).data, archive.entries[1].data);
  EXPECT_EQ(ExtractDescribed(byPath.get(), 0).data, kText);

  ScopedPlatformFile file(OpenFileForReading(path.c_str()));
  ASSERT_TRUE(file.IsValid());
  OpenedArchive lent(OpenArchiveFromHandle(file.Get(), nullptr));
  ASSERT_NE(lent, nullptr);
  ASSERT_TRUE(SeekFile(file.Get(), 3, SeekOrigin::Start, nullptr));  // the caller moves the file in between
  EXPECT_EQ(ExtractDescribed(lent.get(), 1).data, archive.entries[1].data);
  lent.reset();
  std::uint32_t read = 0;
  char first[5];
  ASSERT_TRUE(SeekFile(file.Get(), 0, SeekOrigin::Start, nullptr));
  EXPECT_TRUE(ReadFromFile(file.Get(), first, 5, &read));  // still open: a lent handle is not closed
  EXPECT_EQ(std::string(first, read), "stub!");

  EXPECT_EQ(OpenPath(ScratchFolder("missing") + u"/no such file.zip"), nullptr);
  EXPECT_EQ(LastArchiveResult, R::OpenFailed);
  EXPECT_EQ(OpenArchiveFromHandle(InvalidPlatformFile(), nullptr), nullptr);
  EXPECT_EQ(LastArchiveResult, R::BadArgument);
}

// --- The chunk contract and the entry state ------------------------------------------------

TEST(EntryExtraction, Stored40000BytesComeAsTwoFullChunksAndTheRest) {
  const std::string data = PseudoRandomBytes(40000, 11);
  const std::string zip = BuildZip({Entry("s.bin", data)});
  OpenedArchive handle = OpenBytes(zip);
  std::string buffer(16384, '#');
  EXPECT_EQ(ExtractEntryToMemory(handle.get(), 0, &buffer[0], 16384), R::MoreData);
  EXPECT_EQ(buffer, data.substr(0, 16384));
  EXPECT_EQ(ExtractEntryToMemory(handle.get(), 0, &buffer[0], 16384), R::MoreData);
  EXPECT_EQ(buffer, data.substr(16384, 16384));
  const std::string before = buffer;
  EXPECT_EQ(ExtractEntryToMemory(handle.get(), 0, &buffer[0], 16384), R::Ok);
  EXPECT_EQ(buffer.substr(0, 7232), data.substr(32768));
  EXPECT_EQ(buffer.substr(7232), before.substr(7232));  // the rest of the buffer is untouched
}

TEST(EntryExtraction, Deflated32768BytesComeAsMoreDataThenOk) {
  const std::string data = PseudoRandomBytes(32768, 12);
  const std::string zip = BuildZip({Entry("d.bin", data, 8)});
  OpenedArchive handle = OpenBytes(zip);
  const Extraction extraction = ExtractWhole(handle.get(), 0, 32768);
  EXPECT_EQ(extraction.results, (std::vector<R>{R::MoreData, R::Ok}));
  EXPECT_EQ(extraction.data, data);
}

TEST(EntryExtraction, AfterOkTheNextCallFailsAndTheOneAfterStartsAgain) {
  const std::string zip = BuildZip({Entry("a.txt", kText, 8)});
  OpenedArchive handle = OpenBytes(zip);
  char buffer[100];
  EXPECT_EQ(ExtractEntryToMemory(handle.get(), 0, buffer, sizeof buffer), R::Ok);
  EXPECT_EQ(ExtractEntryToMemory(handle.get(), 0, buffer, sizeof buffer), R::InflateFailed);
  std::memset(buffer, 0, sizeof buffer);
  EXPECT_EQ(ExtractEntryToMemory(handle.get(), 0, buffer, sizeof buffer), R::Ok);
  EXPECT_EQ(std::string(buffer, kText.size()), kText);
}

TEST(EntryExtraction, AbandonedEntriesRestartFromTheirFirstByte) {
  std::vector<TestEntry> entries;
  for (int i = 0; i < 7; ++i) entries.push_back(Entry("e" + std::to_string(i), PseudoRandomBytes(50000, i), 8));
  const std::string zip = BuildZip(entries);
  OpenedArchive handle = OpenBytes(zip);
  std::string buffer(1000, '\0');
  EXPECT_EQ(ExtractEntryToMemory(handle.get(), 2, &buffer[0], 1000), R::MoreData);
  EXPECT_EQ(ExtractEntryToMemory(handle.get(), 2, &buffer[0], 1000), R::MoreData);
  EXPECT_EQ(buffer, entries[2].data.substr(1000, 1000));
  EXPECT_EQ(ExtractEntryToMemory(handle.get(), 5, &buffer[0], 1000), R::MoreData);
  EXPECT_EQ(buffer, entries[5].data.substr(0, 1000));
  EXPECT_EQ(ExtractEntryToMemory(handle.get(), 2, &buffer[0], 1000), R::MoreData);
  EXPECT_EQ(buffer, entries[2].data.substr(0, 1000));
  EXPECT_EQ(ExtractWhole(handle.get(), 6, 50000, 777).data, entries[6].data);    // odd chunks, forward walk
  EXPECT_EQ(ExtractWhole(handle.get(), 0, 50000, 65536).data, entries[0].data);  // rewind
}

// A description keeps the entry's checked local header for the extraction that follows, and stored
// data goes straight into the caller's buffer: neither may ever serve another entry's data or
// lose bytes at odd chunk sizes, whatever the order of descriptions and extractions.
TEST(EntryExtraction, DescriptionsAndExtractionsInAnyOrderFindEachEntrysOwnData) {
  TestArchive archive;
  archive.prefix = "stub";
  archive.entries = {Entry("a.bin", PseudoRandomBytes(40000, 21)), Entry("b.txt", kText, 8),
                     Entry("c.bin", PseudoRandomBytes(30000, 23)), Entry("d.bin", PseudoRandomBytes(20000, 24), 8),
                     Entry("e.txt", kText)};
  archive.entries[0].localExtra = ExtraField(0x5455, std::string("\x01", 1) + Le32(1));
  archive.entries[2].localExtra = ExtraField(0x7075, std::string(300, 'x'));
  const std::string zip = BuildZip(archive);
  OpenedArchive handle = OpenBytes(zip);
  const auto data = [&archive](int index) { return archive.entries[index].data; };
  ArchiveEntryInfo info;
  ASSERT_EQ(GetArchiveEntry(handle.get(), 2, &info), R::Ok);
  EXPECT_EQ(ExtractWhole(handle.get(), 3, 20000).data, data(3));       // not the entry just described
  EXPECT_EQ(ExtractWhole(handle.get(), 2, 30000, 777).data, data(2));  // described before, cursor moved since
  ASSERT_EQ(GetArchiveEntry(handle.get(), 0, &info), R::Ok);           // rewinds
  EXPECT_EQ(ExtractWhole(handle.get(), 0, 40000, 65536).data, data(0));
  ASSERT_EQ(GetArchiveEntry(handle.get(), 1, &info), R::Ok);
  ASSERT_EQ(GetArchiveEntry(handle.get(), 3, &info), R::Ok);
  EXPECT_EQ(ExtractWhole(handle.get(), 1, kText.size()).data, kText);
  EXPECT_EQ(ExtractWhole(handle.get(), 4, kText.size(), 1).data, kText);
  for (int index : {4, 3, 2, 1, 0}) EXPECT_EQ(ExtractDescribed(handle.get(), index).data, data(index));
}

TEST(EntryExtraction, EmptyEntriesAreDeliveredAtOnce) {
  TestEntry folder = Entry("dir/", "");
  folder.externalAttributes = 0x41ED0010;
  ZipLayout layout;
  std::string zip =
      BuildZip({Entry("empty", ""), Entry("empty.z", "", 8), folder, Entry("no stream.z", "", 8)}, &layout);
  PutLe32(zip, layout.localHeader[3] + zipfield::kLocalCompressed, 0);  // as some producers store an empty file
  PutLe32(zip, layout.centralRecord[3] + kCentralCompressed, 0);
  OpenedArchive handle = OpenBytes(zip);
  char buffer[16];
  for (std::int32_t index = 0; index < 4; ++index) {
    SCOPED_TRACE(index);
    EXPECT_EQ(ExtractEntryToMemory(handle.get(), index, buffer, sizeof buffer), R::Ok);
    EXPECT_EQ(ExtractEntryToMemory(handle.get(), index, buffer, sizeof buffer), R::InflateFailed);
  }
}

// Entries that share bytes are never read, however sound each looks alone: forty records over
// one local header would inflate its data forty times (a known zip-bomb shape).
TEST(ArchiveDirectory, EntriesThatShareBytesAreNeverRead) {
  ZipLayout layout;
  std::string bomb = BuildZip({Entry("bomb", std::string(1 << 20, '\0'), 8)}, &layout);
  std::string end = bomb.substr(layout.endRecord);
  const std::string record = bomb.substr(layout.centralDirectory, layout.endRecord - layout.centralDirectory);
  PutLe16(end, zipfield::kEndEntriesOnDisk, 40);
  PutLe16(end, zipfield::kEndTotalEntries, 40);
  PutLe32(end, zipfield::kEndDirectorySize, static_cast<std::uint32_t>(40 * record.size()));
  bomb.resize(layout.centralDirectory);
  for (int i = 0; i < 40; ++i) bomb += record;
  bomb += end;
  // Entry 2's local header and data are copied into entry 0's stored data, and its record points there.
  const std::string inner = BuildZip({Entry("in", kText)}).substr(0, 32 + kText.size());
  const std::vector<TestEntry> three = {Entry("a", "<" + inner + ">"), Entry("b", kText), Entry("in", kText)};
  std::string nested = BuildZip(three, &layout);
  PutLe32(nested, layout.centralRecord[2] + zipfield::kCentralLocalOffset,
          static_cast<std::uint32_t>(layout.data[0] + 1));
  const auto compressedPlusOne = [&](std::size_t i) {
    std::string zip = BuildZip(three, &layout);
    const std::uint32_t size = GetLe32(zip, layout.centralRecord[i] + kCentralCompressed) + 1;
    PutLe32(zip, layout.localHeader[i] + zipfield::kLocalCompressed, size);
    PutLe32(zip, layout.centralRecord[i] + kCentralCompressed, size);
    return zip;
  };
  const struct {
    const char* what;
    std::string zip;
    std::vector<bool> sound;
  } cases[] = {
      {"40 records over one local header", bomb, std::vector<bool>(40, false)},
      {"an entry inside another's data", nested, {false, true, false}},
      {"data reaching into the next local header", compressedPlusOne(0), {false, false, true}},
      {"data reaching into the directory: only that entry", compressedPlusOne(2), {true, true, false}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    OpenedArchive handle = OpenBytes(c.zip);
    ASSERT_EQ(EntryCount(handle.get()), static_cast<std::int32_t>(c.sound.size()));
    for (std::int32_t i = 0; i < static_cast<std::int32_t>(c.sound.size()); ++i) {
      ArchiveEntryInfo info;
      EXPECT_EQ(GetArchiveEntry(handle.get(), i, &info), c.sound[i] ? R::Ok : R::Corrupt) << i;
      const Extraction extraction = ExtractWhole(handle.get(), i, c.sound[i] ? info.uncompressedSize : 1 << 20);
      EXPECT_EQ(extraction.results, std::vector<R>{c.sound[i] ? R::Ok : R::InflateFailed}) << i;
    }
  }
}

// --- Failure rows ----------------------------------------------------------------------------

struct Damage {
  const char* what;
  void (*apply)(std::string& zip, const ZipLayout& layout);
  ArchiveResult expected;
};

TEST(EntryExtraction, EachDamageGivesItsResultAndClosesTheEntry) {
  const std::string data = PseudoRandomBytes(30000, 5) + std::string(30000, 'a');
  const std::vector<Damage> damages = {
      {"local method 8, directory 0",
       [](std::string& zip, const ZipLayout& l) { PutLe16(zip, l.centralRecord[0] + zipfield::kCentralMethod, 0); },
       R::InflateFailed},
      {"method 12 in both",
       [](std::string& zip, const ZipLayout& l) {
         PutLe16(zip, l.localHeader[0] + zipfield::kLocalMethod, 12);
         PutLe16(zip, l.centralRecord[0] + zipfield::kCentralMethod, 12);
       },
       R::InflateFailed},
      {"local compressed size differs without a data descriptor",
       [](std::string& zip, const ZipLayout& l) { PutLe32(zip, l.localHeader[0] + zipfield::kLocalCompressed, 5); },
       R::InflateFailed},
      {"local name length differs",
       [](std::string& zip, const ZipLayout& l) { PutLe16(zip, l.localHeader[0] + zipfield::kLocalNameLength, 2); },
       R::InflateFailed},
      {"local signature broken", [](std::string& zip, const ZipLayout& l) { zip[l.localHeader[0]] = 'X'; },
       R::InflateFailed},
      {"corrupt deflate data",
       [](std::string& zip, const ZipLayout& l) { zip[l.data[0]] = '\xFF'; },  // reserved block type
       R::InflateFailed},
      {"CRC-32 differs",
       [](std::string& zip, const ZipLayout& l) {
         PutLe32(zip, l.localHeader[0] + zipfield::kLocalCrc, 1);
         PutLe32(zip, l.centralRecord[0] + zipfield::kCentralCrc, 1);
       },
       R::Corrupt},
      {"directory size larger than the data",
       [](std::string& zip, const ZipLayout& l) {
         PutLe32(zip, l.localHeader[0] + zipfield::kLocalUncompressed, 60001);
         PutLe32(zip, l.centralRecord[0] + zipfield::kCentralUncompressed, 60001);
       },
       R::Corrupt},
      {"compressed size beyond the file",
       [](std::string& zip, const ZipLayout& l) {
         PutLe32(zip, l.localHeader[0] + zipfield::kLocalCompressed, 0x7FFFFFF0);
         PutLe32(zip, l.centralRecord[0] + kCentralCompressed, 0x7FFFFFF0);
       },
       R::InflateFailed},
      {"local name differs in one byte",
       [](std::string& zip, const ZipLayout& l) { zip[l.localHeader[0] + 30] ^= 0x20; }, R::InflateFailed},
      {"local header offset beyond the file",
       [](std::string& zip, const ZipLayout& l) {
         PutLe32(zip, l.centralRecord[0] + zipfield::kCentralLocalOffset, 0xFFFFFFF0);
       },
       R::InflateFailed},
  };
  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.what);
    ZipLayout layout;
    std::string zip = BuildZip({Entry("d.bin", data, 8), Entry("ok.txt", kText)}, &layout);
    damage.apply(zip, layout);
    OpenedArchive handle = OpenBytes(zip);
    ASSERT_NE(handle, nullptr);
    const Extraction extraction = ExtractWhole(handle.get(), 0, 60000);
    EXPECT_EQ(extraction.results.back(), damage.expected);
    EXPECT_EQ(LastArchiveResult, damage.expected);
    EXPECT_NE(handle->reader->currentEntryIndex, 0);  // closed: the next call starts again
    EXPECT_EQ(ExtractDescribed(handle.get(), 1).data, kText);
  }
}

TEST(EntryExtraction, StoredEntryShorterThanItsSizeFailsInsteadOfWaiting) {
  ZipLayout layout;
  std::string zip = BuildZip({Entry("s", kText)}, &layout);
  PutLe32(zip, layout.localHeader[0] + zipfield::kLocalUncompressed, 1000);
  PutLe32(zip, layout.centralRecord[0] + zipfield::kCentralUncompressed, 1000);
  OpenedArchive handle = OpenBytes(zip);
  EXPECT_EQ(ExtractWhole(handle.get(), 0, 1000).results, std::vector<R>{R::InflateFailed});
}

TEST(EntryExtraction, DeflateStreamEndingBeforeTheSizeIsCorruptNotOk) {
  ZipLayout layout;
  std::string zip = BuildZip({Entry("d", kText, 8)}, &layout);
  PutLe32(zip, layout.localHeader[0] + zipfield::kLocalUncompressed, 100);
  PutLe32(zip, layout.centralRecord[0] + zipfield::kCentralUncompressed, 100);
  OpenedArchive handle = OpenBytes(zip);
  char buffer[200];
  EXPECT_EQ(ExtractEntryToMemory(handle.get(), 0, buffer, sizeof buffer), R::Corrupt);
  EXPECT_EQ(ExtractEntryToMemory(handle.get(), 0, buffer, sizeof buffer), R::Corrupt);  // closed, so again
}

TEST(EntryExtraction, CallerMistakesAreRefused) {
  const std::string zip = BuildZip({Entry("a", kText), Entry("b", kText)});
  OpenedArchive handle = OpenBytes(zip);
  char buffer[16];
  EXPECT_EQ(ExtractEntryToMemory(nullptr, 0, buffer, 16), R::BadArgument);
  EXPECT_EQ(LastArchiveResult, R::BadArgument);
  EXPECT_EQ(ExtractEntryToMemory(handle.get(), 2, buffer, 16), R::BadArgument);
  EXPECT_EQ(ExtractEntryToMemory(handle.get(), -1, buffer, 16), R::BadArgument);
  EXPECT_EQ(ExtractEntryToMemory(handle.get(), -7, buffer, 16), R::BadArgument);
  EXPECT_EQ(ExtractEntry(handle.get(), 0, buffer, 16, 4), R::BadArgument);
  EXPECT_EQ(ExtractEntryToMemory(handle.get(), 0, buffer, 0), R::InflateFailed);
  ArchiveHandleRecord foreign;
  foreign.kind = 2;
  foreign.reader = handle->reader;
  EXPECT_EQ(ExtractEntryToMemory(&foreign, 0, buffer, 16), R::WrongHandleKind);
  EXPECT_EQ(CloseArchive(&foreign), R::WrongHandleKind);
  ArchiveEntryInfo info;
  EXPECT_EQ(GetArchiveEntry(&foreign, 0, &info), R::WrongHandleKind);
  EXPECT_EQ(CloseArchive(nullptr), R::BadArgument);
  EXPECT_EQ(CloseArchive(handle.release()), R::Ok);
  EXPECT_EQ(LastArchiveResult, R::Ok);
}

// --- Encryption and data descriptors ---------------------------------------------------------

TEST(EntryExtraction, TraditionalEncryptionChecksThePassword) {
  const std::string data = PseudoRandomBytes(20000, 9) + std::string(20000, 'q');
  struct Case {
    std::uint16_t method;
    bool descriptor;
    std::string encryptedWith;
    const char* openedWith;
    ArchiveResult expected;
  };
  const Case cases[] = {
      {0, false, "secret", "secret", R::Ok},
      {8, false, "secret", "secret", R::Ok},
      {8, true, "secret", "secret", R::Ok},
      {0, true, "secret", "secret", R::Ok},
      {8, false, "secret", "wrong", R::PasswordMismatch},
      {0, true, "secret", nullptr, R::PasswordMismatch},
      {0, false, "", nullptr, R::Ok},
      {8, false, "", "", R::Ok},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.method << (c.descriptor ? " descriptor" : "") << " '" << c.encryptedWith
                                    << "' opened with " << (c.openedWith ? c.openedWith : "null"));
    TestEntry entry = Entry("x.bin", data, c.method);
    entry.encrypted = true;
    entry.password = c.encryptedWith;
    entry.dataDescriptor = c.descriptor;
    const std::string zip = BuildZip({entry});
    OpenedArchive handle = OpenBytes(zip, c.openedWith);
    const Extraction extraction = ExtractWhole(handle.get(), 0, static_cast<std::uint32_t>(data.size()));
    EXPECT_EQ(extraction.results.back(), c.expected);
    if (c.expected == R::Ok) {
      EXPECT_EQ(extraction.data, data);
    }
  }
}

TEST(EntryExtraction, EncryptedStoredEntryOfNBytesDeliversN) {
  TestEntry entry = Entry("s", kText);
  entry.encrypted = true;
  ZipLayout layout;
  const std::string zip = BuildZip({entry}, &layout);
  ASSERT_EQ(GetLe32(zip, layout.centralRecord[0] + kCentralCompressed), kText.size() + 12);
  OpenedArchive handle = OpenBytes(zip);
  std::string buffer(kText.size(), '\0');
  EXPECT_EQ(ExtractEntryToMemory(handle.get(), 0, &buffer[0], static_cast<std::uint32_t>(buffer.size())), R::Ok);
  EXPECT_EQ(buffer, kText);
}

// --- Whatever the archive claims, no read leaves the data ---------------------------------------

// Every prefix of an archive and every single-byte change of its headers: nothing may crash or
// hang, and an entry answered Ok must be the original one.
TEST(ArchiveRobustness, TruncatedAndMutatedArchivesNeverPassDamagedData) {
  TestEntry encrypted = Entry("c.txt", kText + kText, 8);
  encrypted.encrypted = true;
  encrypted.dataDescriptor = true;
  TestEntry described = Entry("b.bin", PseudoRandomBytes(3000, 4), 8);
  described.localExtra = ExtraField(0x5455, std::string("\x07", 1) + Le32(1) + Le32(2) + Le32(3));
  const std::vector<TestEntry> entries = {Entry("a.txt", kText), described, encrypted};
  ZipLayout layout;
  const std::string original = BuildZip(entries, &layout);
  const auto check = [&entries](const std::string& zip) {
    OpenedArchive handle = OpenBytes(zip);
    if (handle == nullptr) return;
    ArchiveEntryInfo info;
    GetArchiveEntry(handle.get(), -1, &info);
    for (std::int32_t i = 0; i < info.index && i < static_cast<std::int32_t>(entries.size()); ++i) {
      GetArchiveEntry(handle.get(), i, &info);
      const Extraction extraction = ExtractWhole(handle.get(), i, static_cast<std::uint32_t>(entries[i].data.size()));
      if (extraction.results.back() == R::Ok) {
        EXPECT_EQ(extraction.data, entries[i].data) << "entry " << i;
      }
    }
  };
  for (std::size_t cut = 0; cut < original.size(); ++cut) check(original.substr(0, cut));
  for (std::size_t at = 0; at < original.size(); ++at) {
    if (at >= layout.data[1] + 40 && at < layout.localHeader[2]) continue;  // the rest of b.bin's data
    for (const unsigned char value : {0x00, 0xFF, 0x80, 0x01}) {
      std::string zip = original;
      if (static_cast<unsigned char>(zip[at]) == value) continue;
      zip[at] = static_cast<char>(value);
      check(zip);
    }
  }
}

}  // namespace
