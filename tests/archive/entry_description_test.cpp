// Entry descriptions (names, attributes, times, the cache) and extraction to files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "archive/archive_state.h"
#include "archive_test_support.h"
#include "platform/file_system.h"
#include "zip_builder.h"

namespace {

using R = ArchiveResult;

TestEntry Named(const std::string& name, const std::string& data = "data") {
  TestEntry entry;
  entry.name = name;
  entry.data = data;
  return entry;
}

// The name before the reader's clean-up.
std::u16string StoredName(const TestEntry& entry, ArchiveResult expected = R::Ok) {
  const std::string zip = BuildZip({entry});
  OpenedArchive handle = OpenBytes(zip);
  char16_t name[kEntryNameCapacity];
  EXPECT_EQ(GetArchiveEntryStoredName(handle.get(), 0, name), expected);
  return name;
}

ArchiveEntryInfo Describe(const TestEntry& entry, ArchiveResult expected = R::Ok) {
  const std::string zip = BuildZip({entry});
  OpenedArchive handle = OpenBytes(zip);
  ArchiveEntryInfo info;
  EXPECT_NE(handle, nullptr);
  EXPECT_EQ(GetArchiveEntry(handle.get(), 0, &info), expected);
  return info;
}

constexpr std::uint64_t kEpochAsFileTime = 116444736000000000;
std::uint64_t FromUnix(std::int64_t seconds) {
  return static_cast<std::uint64_t>(seconds * 10000000 + kEpochAsFileTime);
}

TEST(EntryDescription, NamesAreSanitised) {
  const struct {
    const char* stored;
    const char16_t* described;
  } cases[] = {
      {"C:\\dir\\f.txt", u"dir\\f.txt"},
      {"/abs/x", u"abs/x"},
      {"a/b/../c.txt", u"c.txt"},
      {"a\\..\\b\\..\\c", u"c"},
      {"../x", u"../x"},
      {"\\\\server\\share\\f", u"server\\share\\f"},
      {"x/..\\y/../z", u"z"},
      {"C:/../D:\\e", u"../D:\\e"},
      {"plain/name.txt", u"plain/name.txt"},
      {"\xC3\xA9", u"\u00E9"},
      {"emoji \xF0\x9F\x98\x80", u"emoji \U0001F600"},
      {"\xEF\xBF\xBD", u"\uFFFD"},  // the replacement character itself is a name
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored);
    EXPECT_EQ(std::u16string(Describe(Named(c.stored)).name), std::u16string(c.described));
    EXPECT_EQ(StoredName(Named(c.stored)), Utf16(c.stored));
  }
}

// Windows archivers store the DOS code page without the UTF-8 flag and add the UTF-8 name in
// Info-ZIP's Unicode Path field; a name that is no UTF-8 is refused, never installed with U+FFFD.
TEST(EntryDescription, NamesThatAreNotUtf8AreTakenFromTheirUnicodePathFieldOrRefused) {
  const std::string dos = "Caf\x82.dll";
  const auto field = [](const std::string& named, const std::string& utf8, char version = 1) {
    return ExtraField(0x7075, std::string(1, version) + Le32(Crc32Of(named)) + utf8);
  };
  const struct {
    std::string name;
    std::string centralExtra, localExtra;
    bool utf8Flag;
    R result;
    const char16_t* described;
  } cases[] = {
      {dos, "", "", false, R::NameNotUtf8, u"Caf\\x82.dll"},
      {dos, "", "", true, R::NameNotUtf8, u"Caf\\x82.dll"},
      {dos, field(dos, "Caf\xC3\xA9.dll"), "", false, R::Ok, u"Caf\u00E9.dll"},
      // The directory is the authority: a field that only the local header carries, or one that names
      // the entry otherwise, makes the local header disagree.
      {dos, "", ExtraField(0x5455, "") + field(dos, "Caf\xC3\xA9.dll"), false, R::Corrupt, u"Caf\\x82.dll"},
      {dos, field(dos, "a.dll"), field(dos, "QuorvaneSoftware.exe"), false, R::Corrupt, u"a.dll"},
      {dos, field(dos, "a.dll"), field(dos, "a.dll"), false, R::Ok, u"a.dll"},
      {dos, field(dos, "a.dll"), field("Cafe.dll", "b.dll"), false, R::Ok, u"a.dll"},  // stale: no field
      {"QuorvaneSoftware.exe", "", field("QuorvaneSoftware.exe", "bin/Q.exe"), true, R::Corrupt,
       u"QuorvaneSoftware.exe"},
      {dos, field("Cafe.dll", "Caf\xC3\xA9.dll"), "", false, R::NameNotUtf8, u"Caf\\x82.dll"},        // stale
      {dos, field(dos, "Caf\xC3\xA9.dll", 2), "", false, R::NameNotUtf8, u"Caf\\x82.dll"},            // version
      {dos, field(dos, "Caf\xC3\xA9.dll").substr(0, 8), "", false, R::NameNotUtf8, u"Caf\\x82.dll"},  // cut
      {dos, Le16(0x7075) + Le16(40) + field(dos, "x"), "", false, R::NameNotUtf8, u"Caf\\x82.dll"},   // overrun
      {dos, field(dos, "Caf\x82.dll"), "", false, R::NameNotUtf8, u"Caf\\x82.dll"},
      {"ok.dll", field("ok.dll", "other.dll"), "", true, R::Ok, u"ok.dll"},  // declared UTF-8: the field is moot
      {"a\\b\xFF", "", "", false, R::NameNotUtf8, u"a\\x5Cb\\xFF"},
      {"\xC0\xAF", "", "", false, R::NameNotUtf8, u"\\xC0\\xAF"},                    // overlong "/"
      {"\xED\xA0\x80", "", "", false, R::NameNotUtf8, u"\\xED\\xA0\\x80"},           // a surrogate
      {"\xF4\x90\x80\x80", "", "", false, R::NameNotUtf8, u"\\xF4\\x90\\x80\\x80"},  // beyond U+10FFFF
      {"e\xCC", "", "", false, R::NameNotUtf8, u"e\\xCC"},                           // cut sequence
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name + " " + std::to_string(&c - cases));
    TestEntry entry = Named(c.name);
    entry.centralExtra = c.centralExtra;
    entry.localExtra = c.localExtra;
    entry.utf8Name = c.utf8Flag;
    EXPECT_EQ(std::u16string(Describe(entry, c.result).name), std::u16string(c.described));
    // The field's name is the stored one; a name that is no UTF-8 is only ever shown escaped.
    if (c.result != R::Corrupt) {
      EXPECT_EQ(StoredName(entry, c.result), c.result == R::Ok ? c.described : u"");
    }
  }
}

TEST(EntryDescription, LongNamesAreCutAtACharacterAndSaidSo) {
  EXPECT_EQ(std::u16string(Describe(Named(std::string(259, 'n'))).name), std::u16string(259, u'n'));
  ArchiveEntryInfo info = Describe(Named(std::string(260, 'n')), R::NameTooLong);
  EXPECT_EQ(StoredName(Named(std::string(260, 'n')), R::NameTooLong), u"");
  EXPECT_EQ(std::u16string(info.name), std::u16string(259, u'n'));
  std::string accents;
  for (int i = 0; i < 200; ++i) accents += "\xC3\xA9";  // 400 bytes, 200 characters
  info = Describe(Named(accents), R::NameTooLong);
  EXPECT_EQ(std::u16string(info.name), std::u16string(129, u'\u00E9'));  // 259 bytes hold 129 whole ones
  EXPECT_EQ(info.uncompressedSize, 4);
}

TEST(EntryDescription, AttributesFollowTheHostThatMadeTheEntry) {
  const struct {
    std::uint16_t madeBy;
    std::uint32_t external;
    std::uint32_t attributes;
  } cases[] = {
      {0x031E, 0x40000000 | 0x00800000, 0x30},
      {0x031E, 0x40000000, 0x31},
      {0x031E, 0x81A40000, 0x20},
      {0x031E, 0x81240000, 0x21},
      {0x0014, 0x21, 0x21},
      {0x0B14, 0x10, 0x10},
      {0x0E14, 0x21, 0x21},
      {0x0714, 0x06, 0x06},
      {0x0014, 0x81A40001, 0x01},
      {0x1314, 0x21, 0x21},  // host 19 (OS X) reads as Unix: no owner-write bit
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.madeBy << " " << c.external);
    TestEntry entry = Named("f");
    entry.versionMadeBy = c.madeBy;
    entry.externalAttributes = c.external;
    EXPECT_EQ(Describe(entry).attributes, c.attributes);
  }
}

TEST(EntryDescription, DosTimesAreLocalTimeOfThisZone) {
  // The test runs 3 hours east of UTC: 2021-06-15 12:34:56 local is 09:34:56 UTC.
  const ArchiveEntryInfo info = Describe(Named("f"));
  EXPECT_EQ(FileTimeValue(info.writeTime), FromUnix(1623749696));
  EXPECT_EQ(FileTimeValue(info.accessTime), FromUnix(1623749696));
  EXPECT_EQ(FileTimeValue(info.creationTime), FromUnix(1623749696));
  for (const std::uint32_t notADate : {0x52C0645Cu, 0x520F645Cu, 0x53A0645Cu, 0x52CF645Fu, 0x52CFC45Cu, 0u}) {
    SCOPED_TRACE(testing::Message() << std::hex << notADate);  // day 0, month 0, month 13, second 62, hour 24
    TestEntry entry = Named("f");
    entry.dosDateTime = notADate;
    EXPECT_EQ(FileTimeValue(Describe(entry).writeTime), 0u);
  }
}

#ifndef _WIN32
// Windows converts every local time with today's offset of the zone, daylight saving time
// included, not with the offset of that date; the POSIX hosts must agree with it.
TEST(EntryDescription, DosTimesOfSummerAndWinterMoveByTodaysOffset) {
  const char* saved = std::getenv("TZ");
  const std::string restore = saved != nullptr ? saved : "";
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);  // one hour east, two in summer
  tzset();
  const std::time_t now = std::time(nullptr);
  std::tm today{};
  ASSERT_NE(localtime_r(&now, &today), nullptr);
  TestEntry winter = Named("winter");
  winter.dosDateTime = 0x522F645C;  // 2021-01-15 12:34:56
  TestEntry summer = Named("summer");
  summer.dosDateTime = 0x52CF645C;  // 2021-06-15 12:34:56
  EXPECT_EQ(FileTimeValue(Describe(winter).writeTime), FromUnix(1610714096 - today.tm_gmtoff));
  EXPECT_EQ(FileTimeValue(Describe(summer).writeTime), FromUnix(1623760496 - today.tm_gmtoff));
  if (saved != nullptr) {
    setenv("TZ", restore.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}
#endif

TEST(EntryDescription, ExtendedTimestampReplacesTheTimesItHolds) {
  const std::uint64_t dos = FromUnix(1623749696);
  const std::string times = Le32(0) + Le32(static_cast<std::uint32_t>(-86400)) + Le32(1700000000);
  const struct {
    const char* what;
    std::string extra;
    std::uint64_t write, access, creation;
  } cases[] = {
      {"flags 1", ExtraField(0x5455, "\x01" + Le32(1000)), FromUnix(1000), dos, dos},
      {"flags 3", ExtraField(0x5455, "\x03" + Le32(1000) + Le32(2000)), FromUnix(1000), FromUnix(2000), dos},
      {"flags 7", ExtraField(0x5455, "\x07" + times), kEpochAsFileTime, FromUnix(-86400), FromUnix(1700000000)},
      {"after a 300-byte sub-field", ExtraField(0x7875, std::string(300, 'u')) + ExtraField(0x5455, "\x01" + Le32(5)),
       FromUnix(5), dos, dos},
      {"flags 7 but only one time in the sub-field",
       ExtraField(0x5455, "\x07" + Le32(9)) + ExtraField(0x1234, "zzzzzzzz"), FromUnix(9), dos, dos},
      {"times run past the extra field", "UT" + Le16(13) + "\x07" + Le32(9) + "ab", FromUnix(9), dos, dos},
      {"only the first UT counts", ExtraField(0x5455, "\x01" + Le32(7)) + ExtraField(0x5455, "\x01" + Le32(8)),
       FromUnix(7), dos, dos},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TestEntry entry = Named("f");
    entry.localExtra = c.extra;
    entry.centralExtra = ExtraField(0x5455, "\x01" + Le32(123456));  // the central copy is not read
    const ArchiveEntryInfo info = Describe(entry);
    EXPECT_EQ(FileTimeValue(info.writeTime), c.write);
    EXPECT_EQ(FileTimeValue(info.accessTime), c.access);
    EXPECT_EQ(FileTimeValue(info.creationTime), c.creation);
  }
}

TEST(EntryDescription, FailuresLeaveOnlyTheNameBesideThePreClearedFields) {
  ZipLayout layout;
  std::string zip = BuildZip({Named("a"), Named("b"), Named("c", "longer data")}, &layout);
  PutLe32(zip, layout.localHeader[2] + zipfield::kLocalCompressed, 99);
  PutLe16(zip, layout.localHeader[1] + 28, 0x7000);  // a local extra field over entry 2 and the directory
  OpenedArchive handle = OpenBytes(zip);
  ArchiveEntryInfo info;
  info.attributes = 0xABCD;
  EXPECT_EQ(GetArchiveEntry(handle.get(), 2, &info), R::Corrupt);
  EXPECT_EQ(info.index, 0);
  EXPECT_EQ(std::u16string(info.name), u"c");  // to say which entry failed
  EXPECT_EQ(info.uncompressedSize, 0);
  EXPECT_EQ(info.attributes, 0xABCDu);
  EXPECT_EQ(GetArchiveEntry(handle.get(), 1, &info), R::Corrupt);
  EXPECT_EQ(GetArchiveEntry(handle.get(), 3, &info), R::BadArgument);
  EXPECT_EQ(GetArchiveEntry(handle.get(), -2, &info), R::BadArgument);
  EXPECT_EQ(GetArchiveEntry(handle.get(), 0, nullptr), R::BadArgument);
  EXPECT_EQ(GetArchiveEntry(nullptr, 0, &info), R::BadArgument);
  EXPECT_EQ(LastArchiveResult, R::BadArgument);
  EXPECT_EQ(GetArchiveEntry(handle.get(), -1, &info), R::Ok);
  EXPECT_EQ(info.index, 3);
  EXPECT_EQ(info.name[0], 0);
  EXPECT_EQ(info.attributes | info.compressedSize | info.uncompressedSize, 0u);
}

TEST(EntryDescription, DataDescriptorDefersLocalSizesOnlyWhenFlagged) {
  TestEntry entry = Named("d", "deferred");
  entry.dataDescriptor = true;
  EXPECT_EQ(Describe(entry).uncompressedSize, 8);
  ZipLayout layout;
  std::string zip = BuildZip({entry}, &layout);
  PutLe16(zip, layout.localHeader[0] + zipfield::kLocalFlags, 0);  // local sizes are zero, and now binding
  OpenedArchive handle = OpenBytes(zip);
  ArchiveEntryInfo info;
  EXPECT_EQ(GetArchiveEntry(handle.get(), 0, &info), R::Corrupt);
}

// The memory block is not copied, so changing it after a description shows whether the archive
// is read again.
TEST(EntryDescription, TheLastDescriptionIsCachedAndBackwardsRewinds) {
  std::vector<TestEntry> entries;
  for (int i = 0; i < 6; ++i) entries.push_back(Named("e" + std::to_string(i)));
  ZipLayout layout;
  std::string zip = BuildZip(entries, &layout);
  OpenedArchive handle = OpenBytes(zip);
  ArchiveEntryInfo info;
  ASSERT_EQ(GetArchiveEntry(handle.get(), 3, &info), R::Ok);
  zip[layout.centralRecord[3] + 46] = 'f';
  EXPECT_EQ(GetArchiveEntry(handle.get(), 3, &info), R::Ok);  // 3, 3: read once
  EXPECT_EQ(Utf8(info.name), "e3");
  EXPECT_EQ(GetArchiveEntry(handle.get(), 1, &info), R::Ok);
  EXPECT_EQ(GetArchiveEntry(handle.get(), 3, &info), R::Ok);  // 3, 1, 3: read again
  EXPECT_EQ(Utf8(info.name), "f3");
  zip[layout.centralRecord[0]] = 'X';
  EXPECT_EQ(GetArchiveEntry(handle.get(), 4, &info), R::Ok);       // forward: no rewind
  EXPECT_EQ(GetArchiveEntry(handle.get(), 2, &info), R::Corrupt);  // backward: from entry 0
  EXPECT_EQ(GetArchiveEntry(handle.get(), 4, &info), R::Ok);       // cached
}

TEST(EntryDescription, DescribingEndsAPartialExtraction) {
  const std::string data = PseudoRandomBytes(50000, 1);
  const std::string zip = BuildZip({Named("big", data), Named("small")});
  OpenedArchive handle = OpenBytes(zip);
  std::string buffer(16384, '\0');
  ASSERT_EQ(ExtractEntryToMemory(handle.get(), 0, &buffer[0], 16384), R::MoreData);
  ArchiveEntryInfo info;
  for (const std::int32_t index : {0, -1, 1}) {
    SCOPED_TRACE(index);
    ASSERT_EQ(ExtractEntryToMemory(handle.get(), 0, &buffer[0], 16384), R::MoreData);
    ASSERT_EQ(GetArchiveEntry(handle.get(), index, &info), R::Ok);
    ASSERT_EQ(ExtractEntryToMemory(handle.get(), 0, &buffer[0], 16384), R::MoreData);
    EXPECT_EQ(buffer, data.substr(0, 16384));
  }
}

// --- Extraction to files ---------------------------------------------------------------------

std::u16string PathIn(const std::u16string& folder, const std::string& name) { return folder + u"/" + Utf16(name); }

TEST(FileExtraction, WritesFilesAndFoldersWithTheirTimes) {
  TestEntry folder = Named("sub/", "");
  folder.externalAttributes = 0x41ED0010;
  TestEntry big = Named("big.bin", PseudoRandomBytes(70000, 3) + std::string(70000, 'b'));
  big.method = 8;
  big.localExtra = ExtraField(0x5455, "\x03" + Le32(1500000000) + Le32(1500000100));
  const std::vector<TestEntry> entries = {folder, big, Named("empty", ""), Named("sub/deeper/f.txt", "text")};
  const std::string zip = BuildZip(entries);
  const std::u16string target = ScratchFolder("files");
  OpenedArchive handle = OpenBytes(zip);
  for (std::int32_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(entries[i].name);
    std::u16string path = PathIn(target, entries[i].name);
    EXPECT_EQ(ExtractEntry(handle.get(), i, &path[0], 0, kTargetFilePath), R::Ok);
    if (i == 0) {
      EXPECT_NE(GetPathAttributes(path.c_str()) & kAttributeDirectory, 0u);
      continue;
    }
    std::string written;
    ASSERT_TRUE(ReadWholeFile(path, &written));
    EXPECT_TRUE(written == entries[i].data);
  }
  EXPECT_EQ(FileWriteTime(PathIn(target, "big.bin")), FromUnix(1500000000));
  EXPECT_EQ(FileWriteTime(PathIn(target, "empty")), FromUnix(1623749696));

  const std::u16string lentPath = PathIn(target, "lent.bin");
  ScopedPlatformFile lent(CreateFileForWriting(lentPath.c_str(), kAttributeNormal));
  ASSERT_TRUE(lent.IsValid());
  EXPECT_EQ(ExtractEntry(handle.get(), 1, lent.Get(), 0, kTargetFileHandle), R::Ok);
  EXPECT_EQ(ExtractEntry(handle.get(), 0, lent.Get(), 0, kTargetFileHandle), R::Ok);  // a folder: nothing
  lent.Reset();
  std::string written;
  ASSERT_TRUE(ReadWholeFile(lentPath, &written));
  EXPECT_TRUE(written == big.data);
}

TEST(FileExtraction, RefusesNamesThatLeaveTheFolderAndCreatesNothing) {
  const std::vector<std::string> names = {"../escape.txt",
                                          "a/../../escape.txt",
                                          "..\\escape.txt",
                                          "sub/..",
                                          "x/... /y",
                                          "stream.txt:hidden",
                                          "CON",
                                          "sub/nul.txt",
                                          "/",
                                          std::string(300, 'L')};
  std::vector<TestEntry> entries;
  for (const std::string& name : names) entries.push_back(Named(name));
  const std::string zip = BuildZip(entries);
  const std::u16string hostile = ScratchFolder("hostile");
  const std::u16string target = ScratchFolder("hostile/inner");
  OpenedArchive handle = OpenBytes(zip);
  for (std::int32_t i = 0; i < static_cast<std::int32_t>(names.size()); ++i) {
    SCOPED_TRACE(names[i]);
    ArchiveEntryInfo info;
    GetArchiveEntry(handle.get(), i, &info);
    if (names[i].size() < 260) {
      EXPECT_FALSE(EntryNameIsSafe(info.name));
    }
    std::u16string path = target + u"/" + info.name;
    EXPECT_EQ(ExtractEntry(handle.get(), i, &path[0], 0, kTargetFilePath), R::OpenFailed);
  }
  EXPECT_EQ(GetPathAttributes((hostile + u"/escape.txt").c_str()), kInvalidAttributes);
  EXPECT_EQ(GetPathAttributes((target + u"/sub").c_str()), kInvalidAttributes);
  // Names that Windows would take for another file or a device are refused on every host.
  for (const char16_t* name : {u"a.", u"notes.qvtmp.", u"a..", u"dir./f", u"trailing ", u"d /f", u"con", u"Nul.tar.gz",
                               u"CON .txt", u"COM0", u"lpt9.log", u"COM\u00B9", u"x/Lpt\u00B3.txt", u"conin$"}) {
    EXPECT_FALSE(EntryNameIsSafe(name)) << Utf8(name);
  }
  for (const char16_t* name : {u"a/b.txt", u"dir\\f", u"x.y", u"..a", u".hidden", u"CONFIG.SYS", u"COM10", u"LPT",
                               u"comA", u"COM\u00B9x", u"COM\u2074", u" lead", u"dir/"}) {
    EXPECT_TRUE(EntryNameIsSafe(name)) << Utf8(name);
  }
}

TEST(FileExtraction, AFailedEntryLeavesNoFileAndKeepsAnExistingOne) {
  TestEntry secret = Named("secret.txt", "classified");
  secret.encrypted = true;
  secret.password = "right";
  ZipLayout layout;
  std::string zip = BuildZip({secret, Named("crc.txt", "checked")}, &layout);
  PutLe32(zip, layout.localHeader[1] + zipfield::kLocalCrc, 7);
  PutLe32(zip, layout.centralRecord[1] + zipfield::kCentralCrc, 7);
  const std::u16string target = ScratchFolder("failed");
  const std::u16string existing = PathIn(target, "secret.txt");
  ASSERT_TRUE(WriteWholeFile(existing, "previous"));
  OpenedArchive handle = OpenBytes(zip, "wrong");
  std::u16string path = existing;
  EXPECT_EQ(ExtractEntry(handle.get(), 0, &path[0], 0, kTargetFilePath), R::PasswordMismatch);
  std::string kept;
  EXPECT_TRUE(ReadWholeFile(existing, &kept));
  EXPECT_EQ(kept, "previous");
  path = PathIn(target, "crc.txt");
  EXPECT_EQ(ExtractEntry(handle.get(), 1, &path[0], 0, kTargetFilePath), R::Corrupt);
  EXPECT_EQ(GetPathAttributes(path.c_str()), kInvalidAttributes);
  EXPECT_EQ(ExtractEntry(handle.get(), 1, &path[0], 0, 0), R::BadArgument);
}

}  // namespace
