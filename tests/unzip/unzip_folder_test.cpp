// The folder extraction over real files, natively and under Wine: each case builds the archive it
// needs, unpacks it below a scratch folder and compares the whole tree and every report.
#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <thread>

#include "archive_test_support.h"
#include "deploy/file_content.h"
#include "deploy/folder_switch.h"
#include "deploy/unzip_folder.h"
#include "platform/file_system.h"
#include "zip_builder.h"
#ifdef _WIN32
#include "deploy/unpack_client_archive.h"
#include "install/release_log.h"
#include "platform/scoped_handle.h"
#include "tests/support/win_test_support.h"
#endif

namespace {

// What a run reported, each as "<event> <name>", or "<event> #<index>" for an entry without a name.
struct Outcome {
  bool allInstalled = false;
  std::vector<std::string> reports;
};

void CollectReport(void* context, std::int32_t index, const char* event, const char16_t* name) {
  const std::string shown = name[0] == 0 && index >= 0 ? "#" + std::to_string(index) : Utf8(name);
  static_cast<std::vector<std::string>*>(context)->push_back(std::string(event) + " " + shown);
}

Outcome Unzip(const std::u16string& archive, const std::u16string& folder) {
  Outcome run;
  UnzipReporter reporter;
  reporter.report = CollectReport;
  reporter.context = &run.reports;
  run.allInstalled = UnzipToFolder(archive.c_str(), folder.c_str(), &reporter);
  return run;
}

// Names below folder, sorted, "/" between levels and after folders ("a/", "a/b.txt").
void ListInto(const std::string& folder, const std::string& prefix, std::vector<std::string>* names) {
  std::vector<std::pair<std::string, bool>> found;
#ifdef _WIN32
  WIN32_FIND_DATAW data;
  const std::u16string pattern = Utf16(folder + "/*");
  HANDLE search = FindFirstFileW(reinterpret_cast<const wchar_t*>(pattern.c_str()), &data);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    found.emplace_back(Utf8(reinterpret_cast<const char16_t*>(data.cFileName)),
                       (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
  } while (FindNextFileW(search, &data));
  FindClose(search);
#else
  DIR* directory = opendir(folder.c_str());
  if (directory == nullptr) return;
  while (const dirent* entry = readdir(directory)) {
    const std::string name = entry->d_name;
    found.emplace_back(name, (GetPathAttributes(Utf16(folder + "/" + name).c_str()) & kAttributeDirectory) != 0);
  }
  closedir(directory);
#endif
  for (const auto& [name, isFolder] : found) {
    // The install record is the tool's own: the cases that look for it say so.
    if (name == "." || name == ".." || name == "Quorvane.qvrecord") continue;
    names->push_back(prefix + name + (isFolder ? "/" : ""));
    if (isFolder) ListInto(folder + "/" + name, prefix + name + "/", names);
  }
}

std::vector<std::string> ListTree(const std::u16string& folder) {
  std::vector<std::string> names;
  ListInto(Utf8(folder), "", &names);
  std::sort(names.begin(), names.end());
  return names;
}

std::string Contents(const std::u16string& path) {
  std::string bytes;
  return ReadWholeFile(path, &bytes) ? bytes : "<missing>";
}

// Binary contents: sizes and the first difference say more than two dumps.
::testing::AssertionResult SameBytes(const std::string& actual, const std::string& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  std::size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
  return ::testing::AssertionFailure() << actual.size() << " bytes instead of " << expected.size()
                                       << ", first difference at " << at;
}

TestEntry File(const std::string& name, const std::string& data, std::uint16_t method = 8) {
  return MakeEntry(name, data, method);
}

// A folder as Windows archivers record it: DOS host, directory attribute.
TestEntry WindowsFolder(const std::string& name, const std::string& data = "") {
  TestEntry entry = File(name, data, 0);
  entry.versionMadeBy = 0x0014;
  entry.externalAttributes = 0x10;
  return entry;
}

TestEntry UnixFolder(const std::string& name) {
  TestEntry entry = File(name, "", 0);
  entry.externalAttributes = 0x41ED0000;  // drwxr-xr-x
  return entry;
}

// A scratch case: the archive beside a parent folder that holds only the target folder "out".
struct Case {
  std::u16string parent;
  std::u16string archive;
  std::u16string out;

  explicit Case(const std::string& name)
      : parent(ScratchFolder(name)), archive(parent + u".zip"), out(parent + u"/out") {
    DeletePlainFile(archive.c_str());  // a run before this one left it
  }
  Outcome UnzipBytes(const std::string& zip) const {
    WriteWholeFile(archive, zip);
    return Unzip(archive, out);
  }
  std::string Read(const std::string& name) const { return Contents(out + u"/" + Utf16(name)); }
  void Put(const std::string& name, const std::string& bytes) const {
    CreateOneFolder(out.c_str());
    ASSERT_TRUE(WriteWholeFile(out + u"/" + Utf16(name), bytes));
  }
};

TEST(UnzipToFolder, ClientArchiveMatchesAnIndependentUnzipByteForByte) {
  const char* reference = std::getenv("QUORVANE_UNZIP_REFERENCE");
  ASSERT_NE(reference, nullptr);
  std::string root = reference;
#ifdef _WIN32
  if (root[0] == '/') root = "Z:" + root;  // Wine shows the Unix root as Z:
#endif
  const Case unpacked("client_archive");
  const Outcome run = Unzip(Utf16(root + "/SoftQuorvane.zip"), unpacked.out);
  EXPECT_TRUE(run.allInstalled);
  EXPECT_EQ(run.reports, std::vector<std::string>{});
  const std::vector<std::string> expected = ListTree(Utf16(root + "/files"));
  ASSERT_GE(expected.size(), 2u);
  ASSERT_EQ(ListTree(unpacked.out), expected);
  for (const std::string& name : expected) {
    if (name.back() == '/') continue;
    EXPECT_TRUE(SameBytes(unpacked.Read(name), Contents(Utf16(root + "/files/" + name)))) << name;
  }
}

// Full chunks, the last partial chunk, and entries that end exactly on a chunk's end or on the end
// of one of the reader's 16 KiB blocks.
TEST(UnzipToFolder, EntriesOfEverySizeAroundTheChunkArriveWhole) {
  std::vector<TestEntry> entries;
  std::map<std::string, std::string> expected;
  constexpr std::uint32_t kChunk = kUnzipChunkSize;
  for (std::uint32_t size :
       {0u, 1u, 16383u, 16384u, 16385u, 40000u, kChunk - 1, kChunk, kChunk + 1, 2 * kChunk + 16384}) {
    for (std::uint16_t method : {0, 8}) {
      const std::string name = "size" + std::to_string(size) + (method == 8 ? ".deflated" : ".stored");
      entries.push_back(File(name, PseudoRandomBytes(size, size + method), method));
      expected[name] = entries.back().data;
    }
  }
  const Case unpacked("sizes");
  const Outcome run = unpacked.UnzipBytes(BuildZip(entries));
  EXPECT_TRUE(run.allInstalled);
  EXPECT_EQ(run.reports, std::vector<std::string>{});
  std::vector<std::string> names;
  for (const auto& [name, data] : expected) {
    names.push_back(name);
    EXPECT_TRUE(SameBytes(unpacked.Read(name), data)) << name;  // also no stale buffer bytes after the end
  }
  EXPECT_EQ(ListTree(unpacked.out), names);  // and no temporary file left
}

TEST(UnzipToFolder, FoldersComeFromTheirEntriesOrAreMadeForTheirFiles) {
  const Case unpacked("folders");
  const Outcome run = unpacked.UnzipBytes(BuildZip({
      UnixFolder("listed/"),
      File("listed/in.txt", "in a listed folder"),
      File("unlisted/deeper/in.txt", "no folder entries before me"),
      WindowsFolder("attribute only"),  // a folder by its attribute, without a trailing separator
      WindowsFolder("attribute with data", "a file after all"),  // a file, as other archivers take it
      UnixFolder("empty folder/"),
      File("empty.txt", ""),  // size 0 but no folder: an empty file
      File("back\\slash.txt", "either separator"),
  }));
  EXPECT_TRUE(run.allInstalled);
  EXPECT_EQ(run.reports, std::vector<std::string>{});
  EXPECT_EQ(ListTree(unpacked.out),
            (std::vector<std::string>{"attribute only/", "attribute with data", "back/", "back/slash.txt",
                                      "empty folder/", "empty.txt", "listed/", "listed/in.txt", "unlisted/",
                                      "unlisted/deeper/", "unlisted/deeper/in.txt"}));
  EXPECT_EQ(unpacked.Read("listed/in.txt"), "in a listed folder");
  EXPECT_EQ(unpacked.Read("unlisted/deeper/in.txt"), "no folder entries before me");
  EXPECT_EQ(unpacked.Read("empty.txt"), "");
  EXPECT_EQ(unpacked.Read("back/slash.txt"), "either separator");
  EXPECT_EQ(unpacked.Read("attribute with data"), "a file after all");
}

// The same file on the disk, not only the same bytes: an untouched file keeps its times and
// attributes.
std::uint64_t FileIdentity(const std::u16string& path) {
#ifdef _WIN32
  ScopedHandle file(CreateFileW(reinterpret_cast<const wchar_t*>(path.c_str()), 0, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr));
  BY_HANDLE_FILE_INFORMATION information = {};
  if (!GetFileInformationByHandle(file.Get(), &information)) return 0;
  return static_cast<std::uint64_t>(information.nFileIndexHigh) << 32 | information.nFileIndexLow;
#else
  struct stat status {};
  return stat(Utf8(path).c_str(), &status) == 0 ? static_cast<std::uint64_t>(status.st_ino) : 0;
#endif
}

// One version installed, then the next: what changed is replaced, what is right stays the same
// file, what the first installed and the second lacks goes while it holds what was installed,
// with the folders made for it; the user's own files and edits stay.
TEST(UnzipToFolder, AnUpdateAppliesWhatChanged) {
  const struct {
    const char* name;
    const char* first;   // null: not in the first version
    const char* user;    // what the user made of it in between (null: nothing)
    const char* second;  // null: not in the second version
    const char* after;   // null: gone
  } rows[] = {
      {"same.dll", "S", nullptr, "S", "S"},
      {"client.dll", "a longer old version", nullptr, "new", "new"},
      {"sub/empty.dat", "old", nullptr, "", ""},
      {"plugins/old/a.dll", "A", nullptr, nullptr, nullptr},
      {"notes.txt", "N", "the user's notes", nullptr, "the user's notes"},
      {"settings.ini", nullptr, "the user's", nullptr, "the user's"},
      {"edited.dll", "E", "patched", "E2", "E2"},
  };
  // Without the record of the first version (installed by an earlier build) or with one that is
  // damaged, the update removes nothing.
  for (const std::string record : {"kept", "missing", "damaged"}) {
    SCOPED_TRACE(record);
    const bool removes = record == "kept";
    const Case unpacked("what_changed_" + record);
    std::vector<TestEntry> first, second;
    std::vector<std::string> expected = {"sub/"};
    if (!removes) expected.insert(expected.end(), {"plugins/", "plugins/old/"});
    for (const auto& row : rows) {
      if (row.first != nullptr) first.push_back(File(row.name, row.first));
      if (row.second != nullptr) second.push_back(File(row.name, row.second));
      if (row.after != nullptr || !removes) expected.push_back(row.name);
    }
    ASSERT_TRUE(unpacked.UnzipBytes(BuildZip(first)).allInstalled);
    for (const auto& row : rows) {
      if (row.user != nullptr) unpacked.Put(row.name, row.user);
    }
    const std::u16string recordPath = unpacked.out + u"/Quorvane.qvrecord";
    std::string recorded = Contents(recordPath);
    recorded[recorded.size() / 2] ^= 1;
    if (record == "damaged") WriteWholeFile(recordPath, recorded);
    if (record == "missing") DeletePlainFile(recordPath.c_str());
    const std::uint64_t untouched = FileIdentity(unpacked.out + u"/same.dll");

    UnzipCounts counts;
    Outcome run;
    UnzipReporter reporter{CollectReport, &run.reports, &counts};
    WriteWholeFile(unpacked.archive, BuildZip(second));
    EXPECT_TRUE(UnzipToFolder(unpacked.archive.c_str(), unpacked.out.c_str(), &reporter));

    EXPECT_EQ(run.reports,
              removes ? std::vector<std::string>{"File Removed plugins/old/a.dll"} : std::vector<std::string>{});
    EXPECT_EQ(std::vector<std::uint32_t>({counts.untouched, counts.replaced, counts.added, counts.removed}),
              std::vector<std::uint32_t>({1, 3, 0, removes ? 1u : 0u}));
    for (const auto& row : rows) {
      const char* after = row.after == nullptr && !removes ? row.first : row.after;
      EXPECT_EQ(unpacked.Read(row.name), after != nullptr ? after : "<missing>") << row.name;
    }
    EXPECT_EQ(FileIdentity(unpacked.out + u"/same.dll"), untouched);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(ListTree(unpacked.out), expected);  // plugins/old/ and plugins/ were made for the dropped file
    EXPECT_NE(Contents(recordPath), "<missing>");
  }
}

// Names as stored, and what becomes of them: installed under the reader's cleaned-up name, or
// refused with that name reported. Nothing may appear beside the target folder or above it.
TEST(UnzipToFolder, HostileNamesStayInsideTheFolderOrAreRefused) {
  struct Row {
    const char* stored;
    const char* installedAs;  // null: refused
    const char* reportedAs;
    const char* event = kUnzipRefusedName;
  };
  const Row rows[] = {
      {"../x", nullptr, "../x"},
      {"..\\x", nullptr, "..\\x"},
      {"a/..", nullptr, "a/.."},
      {"a\\..\\..\\y", nullptr, "..\\y"},  // the clean-up stops at a parent step with nothing before it
      {"ok/../../z", nullptr, "../z"},
      {"...", nullptr, "..."},
      {"f.txt:stream", nullptr, "f.txt:stream"},  // an alternate data stream on NTFS
      {"C:", nullptr, "#7"},                      // nothing is left of it
      {"NUL", nullptr, "NUL"},
      {"con.txt", nullptr, "con.txt"},
      {"dir/AUX.dat", nullptr, "dir/AUX.dat"},
      {"COM1", nullptr, "COM1"},
      {"notes.qvtmp.", nullptr, "notes.qvtmp."},  // Windows drops the dot: entry notes' temporary file
      {"space ", nullptr, "space "},
      {"lpt\xC2\xB9.txt", nullptr, "lpt\xC2\xB9.txt"},  // superscript one: a port too
      {"C:x", "x", nullptr},                            // the drive is dropped: relative to the folder
      {"a:b", "b", nullptr},
      {"C:\\win\\z", "win/z", nullptr},
      {"/abs/w", "abs/w", nullptr},
      {"\\\\server\\share\\v", "server/share/v", nullptr},
      {"x.QVOLD", nullptr, "x.QVOLD"},  // the names the switch puts beside a target
      {"Quorvane.qvjournal", nullptr, "Quorvane.qvjournal"},
      // The tool's names in any level, folders too: such a folder would block every later update.
      {"Quorvane.qvjournal/readme.txt", nullptr, "Quorvane.qvjournal/readme.txt"},
      {"quorvane.QVJOURNAL.unusable/readme.txt", nullptr, "quorvane.QVJOURNAL.unusable/readme.txt"},
      {"Quorvane.qvjournal.unusable.2", nullptr, "Quorvane.qvjournal.unusable.2"},
      {"x.qvtmp/", nullptr, "x.qvtmp/"},
      {"what?.txt", nullptr, "what?.txt"},  // Windows creates no such name
      {"dup.txt", "dup.txt", nullptr},
      {"DUP.txt", nullptr, "DUP.txt", kUnzipDuplicateName},         // one file on Windows: the first one stays
      {"/dup.txt", nullptr, "dup.txt", kUnzipDuplicateName},        // after the clean-up of the separator
      {"Caf\x82.dll", nullptr, "Caf\\x82.dll", kUnzipNameNotUtf8},  // the DOS code page, no UTF-8 field
      // Windows' upper case, whatever the script; the dotless i and U+0483 have none of their own.
      {"\u0395\u03BB\u03BB\u03AC\u03B4\u03B1", "\u0395\u03BB\u03BB\u03AC\u03B4\u03B1", nullptr},
      {"\u0395\u039B\u039B\u0386\u0394\u0391", nullptr, "\u0395\u039B\u039B\u0386\u0394\u0391", kUnzipDuplicateName},
      {"\u0218tiin\u021Be", "\u0218tiin\u021Be", nullptr},
      {"\u0219TIIN\u021AE", nullptr, "\u0219TIIN\u021AE", kUnzipDuplicateName},
      {"Vi\u1EC7t", "Vi\u1EC7t", nullptr},
      {"VI\u1EC6T", nullptr, "VI\u1EC6T", kUnzipDuplicateName},
      {"\u01C6\u0562", "\u01C6\u0562", nullptr},
      {"\u01C4\u0532", nullptr, "\u01C4\u0532", kUnzipDuplicateName},
      {"\u0131", "\u0131", nullptr},
      {"\u0130", "\u0130", nullptr},
      {"t\u0483", "t\u0483", nullptr},
      {"t\u0482", "t\u0482", nullptr},
      // A file and a folder of one name, either order: the first stays.
      {"Lib", "Lib", nullptr},
      {"lib/x.dll", nullptr, "lib/x.dll", kUnzipDuplicateName},
      {"m/n.dll", "m/n.dll", nullptr},
      {"M", nullptr, "M", kUnzipDuplicateName},
      {"c/d", "c/d", nullptr},
      {"C/D/", nullptr, "C/D/", kUnzipDuplicateName},
  };
  std::vector<TestEntry> entries;
  std::vector<std::string> refused;
  std::vector<std::string> installed;
  for (const Row& row : rows) {
    entries.push_back(File(row.stored, std::string("from ") + row.stored));
    if (row.reportedAs != nullptr) refused.push_back(std::string(row.event) + " " + row.reportedAs);
    if (row.installedAs != nullptr) installed.push_back(row.installedAs);
  }
  entries.push_back(File("kept.txt", "kept"));
  const Case unpacked("hostile");
  // Everything in the scratch folder but the case's own folder, whose contents are checked below.
  const auto listScratch = [&unpacked] {
    std::vector<std::string> names = ListTree(unpacked.parent + u"/..");
    names.erase(std::remove_if(names.begin(), names.end(),
                               [](const std::string& name) { return name.rfind("hostile/", 0) == 0; }),
                names.end());
    return names;
  };
  std::vector<std::string> scratchExpected = listScratch();
  scratchExpected.push_back("hostile.zip");
  std::sort(scratchExpected.begin(), scratchExpected.end());

  const Outcome run = unpacked.UnzipBytes(BuildZip(entries));

  EXPECT_FALSE(run.allInstalled);
  EXPECT_EQ(run.reports, refused);
  EXPECT_EQ(listScratch(), scratchExpected);
  // The installed files, the folders on their paths and the folders the rows give.
  std::vector<std::string> tree = {"out/",        "out/abs/",          "out/c/",  "out/kept.txt", "out/m/",
                                   "out/server/", "out/server/share/", "out/win/"};
  for (const std::string& name : installed) tree.push_back("out/" + name);
  std::sort(tree.begin(), tree.end());
  EXPECT_EQ(ListTree(unpacked.parent), tree);
  for (const Row& row : rows) {
    if (row.installedAs != nullptr) {
      EXPECT_EQ(unpacked.Read(row.installedAs), std::string("from ") + row.stored) << row.stored;
    }
  }
}

// Damage of every kind: the old file at the entry's place stays as it was, nothing half-written
// is left, the entry is reported, and the update as a whole is not applied: every file stays old.
TEST(UnzipToFolder, DamagedEntriesAreNeverInstalled) {
  enum Damage {
    kFlipDataByte,
    kWrongCrc,
    kDeclaredLonger,
    kDeclaredFarLonger,
    kStoredShort,
    kLocalMethodDiffers,
    kSizeReadsZero,
    kSizeAndCrcReadZero
  };
  struct Row {
    const char* name;
    std::uint16_t method;
    Damage damage;
    const char* report;
  };
  const Row rows[] = {
      {"flipped.dll", 0, kFlipDataByte, "Data Corrupt flipped.dll"},
      {"crc.dll", 8, kWrongCrc, "Data Corrupt crc.dll"},
      {"longer.dll", 8, kDeclaredLonger, "Data Corrupt longer.dll"},
      // The size the directory claims would once have been written from a 16,384-byte buffer.
      {"far_longer.dll", 8, kDeclaredFarLonger, "Data Corrupt far_longer.dll"},
      {"stored_short.dll", 0, kStoredShort, "Read Failed stored_short.dll"},
      {"local_method.dll", 0, kLocalMethodDiffers, "Unreadable Entry #5"},
      // Once installed as an empty file: an empty entry was never asked for its data.
      {"QuorvaneSoftware.exe", 8, kSizeReadsZero, "Data Corrupt QuorvaneSoftware.exe"},
      {"zero_stored.dll", 0, kSizeReadsZero, "Data Corrupt zero_stored.dll"},
      {"zero_crc.dll", 8, kSizeAndCrcReadZero, "Data Corrupt zero_crc.dll"},  // the stream holds bytes
      {"zero_crc_stored.dll", 0, kSizeAndCrcReadZero, "Data Corrupt zero_crc_stored.dll"},
  };
  std::vector<TestEntry> entries;
  for (const Row& row : rows) entries.push_back(File(row.name, PseudoRandomBytes(20000, 3), row.method));
  TestEntry encrypted = File("encrypted.dll", "secret data", 0);
  encrypted.encrypted = true;
  encrypted.password = "not given";
  entries.push_back(encrypted);
  encrypted.name = "encrypted_empty.dll";
  encrypted.data = "";
  entries.push_back(encrypted);
  entries.push_back(File("sound.dll", "sound"));
  ZipLayout layout;
  std::string zip = BuildZip(entries, &layout);
  const auto setBoth = [&](std::size_t i, std::size_t local, std::size_t central, std::uint32_t value) {
    PutLe32(zip, layout.localHeader[i] + local, value);
    PutLe32(zip, layout.centralRecord[i] + central, value);
  };
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    using namespace zipfield;
    switch (rows[i].damage) {
      case kFlipDataByte:
        zip[layout.data[i] + 19999] ^= 0x01;
        break;
      case kWrongCrc:
        setBoth(i, kLocalCrc, kCentralCrc, Crc32Of(entries[i].data) ^ 0x80);
        break;
      case kDeclaredLonger:
        setBoth(i, kLocalUncompressed, kCentralUncompressed, 20001);
        break;
      case kDeclaredFarLonger:
        setBoth(i, kLocalUncompressed, kCentralUncompressed, 10000000);
        break;
      case kStoredShort:  // more bytes to deliver than the data holds
        setBoth(i, kLocalUncompressed, kCentralUncompressed, 30000);
        break;
      case kLocalMethodDiffers:
        PutLe16(zip, layout.localHeader[i] + kLocalMethod, 8);
        break;
      case kSizeAndCrcReadZero:
        setBoth(i, kLocalCrc, kCentralCrc, 0);
        [[fallthrough]];
      case kSizeReadsZero:
        setBoth(i, kLocalUncompressed, kCentralUncompressed, 0);
        break;
    }
  }
  const Case unpacked("damaged");
  std::vector<std::string> names;
  for (const TestEntry& entry : entries) {
    unpacked.Put(entry.name, "old " + entry.name);
    names.push_back(entry.name);
  }
  std::sort(names.begin(), names.end());

  const Outcome run = unpacked.UnzipBytes(zip);

  EXPECT_FALSE(run.allInstalled);
  std::vector<std::string> expected;
  for (const Row& row : rows) expected.push_back(row.report);
  expected.push_back("Password Mismatch encrypted.dll");
  expected.push_back("Password Mismatch encrypted_empty.dll");
  expected.push_back("Update Not Applied " + Utf8(unpacked.out));
  EXPECT_EQ(run.reports, expected);
  // The sound one too: a release is the old version or the new one, never a mix.
  for (const TestEntry& entry : entries) {
    EXPECT_TRUE(SameBytes(unpacked.Read(entry.name), "old " + entry.name)) << entry.name;
  }
  EXPECT_EQ(ListTree(unpacked.out), names);
}

// The states a crash leaves during a switch of a.dll and b.dll (installed) and sub/c.dll (new, in
// a new folder), or during the staging before it, each made by hand; and journals that another
// program planted. The next run takes every unfinished switch back to the old files, finishes a
// recorded one, removes what staging left, acts on every line it can and sets aside a journal that
// names what it cannot act on; it leaves nothing beside the files and never blocks a later update.
TEST(UnzipToFolder, WhatAnEarlierRunLeftIsFinishedByTheNextRun) {
  const std::string head = "quorvane switch 1\n";
  const std::string switching = head + "switching\nO a.dll\nO b.dll\nN sub/c.dll\nD sub\n";
  const std::vector<std::pair<std::string, std::string>> allSwitched = {
      {"a.dll.qvold", "A1"}, {"b.dll.qvold", "B1"}, {"a.dll", "A2"}, {"b.dll", "B2"}, {"sub/c.dll", "C2"}};
  const std::string folderAtJournal = "/";  // a folder stands at the journal's name
  const auto recorded = [](const std::string& name, const std::string& data) {
    char crc[9];
    std::snprintf(crc, sizeof crc, "%08x", ContinueCrc32(0, data.data(), static_cast<std::uint32_t>(data.size())));
    return "F " + std::to_string(data.size()) + " " + crc + " " + name + "\n";
  };
  // Mixed: what could be put back is, the journal is set aside, and the folder stays marked as a
  // possible mix until an update is whole. NotNow: a folder on the way cannot be held this moment
  // (here a file stands where it should be): the switch stays recorded until a later run. Marked:
  // the journal stays, marking a possible mix, until an update is whole.
  enum Outcome { kNothingToSay, kUndone, kSetAside, kUndoneAndSetAside, kMixed, kNotNow, kMarked };
  const struct {
    const char* state;
    std::string journal;
    std::vector<std::pair<std::string, std::string>> files;  // what was left beside the journal
    std::string after;                                       // a.dll, b.dll and sub/c.dll afterwards
    Outcome outcome;
    std::vector<std::string> alsoLeft = {};  // beside a.dll, b.dll and sub/c.dll
    std::string aside = "Quorvane.qvjournal.unusable";
    std::vector<std::string> afterUpdate = {};  // the tree after the next update, when it says more
  } rows[] = {
      {"all staged",
       switching,
       {{"a.dll", "A1"}, {"b.dll", "B1"}, {"a.dll.qvtmp", "A2"}, {"b.dll.qvtmp", "B2"}},
       "A1B1",
       kUndone},
      {"one set aside",
       switching,
       {{"a.dll.qvold", "A1"}, {"b.dll", "B1"}, {"a.dll.qvtmp", "A2"}, {"b.dll.qvtmp", "B2"}},
       "A1B1",
       kUndone},
      {"one switched",
       switching,
       {{"a.dll.qvold", "A1"}, {"b.dll.qvold", "B1"}, {"a.dll", "A2"}, {"b.dll.qvtmp", "B2"}},
       "A1B1",
       kUndone},
      {"all switched", switching, allSwitched, "A1B1", kUndone},
      {"a dropped file set aside",
       switching + "X gone.dll\n",
       {{"a.dll.qvold", "A1"}, {"b.dll", "B1"}, {"a.dll", "A2"}, {"gone.dll.qvold", "G"}},
       "A1B1",
       kUndone,
       {"gone.dll"}},
      // The record is the committed version's: the next update removes what that version installed.
      {"committed, its record still to write",
       head + "committed\nK gone.dll\nR \n" + recorded("a.dll", "A2") + recorded("b.dll", "B2") +
           recorded("sub/c.dll", "C2") + "M sub\n",
       {{"a.dll", "A2"}, {"b.dll", "B2"}, {"sub/c.dll", "C2"}, {"gone.dll.qvold", "G"}},
       "A2B2C2",
       kNothingToSay,
       {},
       "",
       {"a.dll"}},
      // Killed while staging: files written where nothing stood were each named before.
      {"files added at their names",
       head + "staging\nA new.dll\nD extra\nA extra/n.dll\n",
       {{"a.dll", "A1"}, {"b.dll", "B1"}, {"new.dll", "N"}, {"extra/n.dll", "N"}},
       "A1B1",
       kNothingToSay},
      {"committed",
       head + "committed\nK a.dll\nK b.dll\n",
       {{"a.dll.qvold", "A1"}, {"a.dll", "A2"}, {"b.dll", "B2"}, {"sub/c.dll", "C2"}},
       "A2B2C2",
       kNothingToSay},
      // Killed while staging, before any switch: each made folder and each folder staged into was
      // named first, and a staged file an earlier run could not delete; a line cut by the kill
      // named nothing that was made.
      {"staging",
       head + "staging\nS old.dll\nT \nD extra\nT extra\nT stra",
       {{"a.dll", "A1"},
        {"b.dll", "B1"},
        {"a.dll.qvtmp", "A2"},
        {"extra/x030.dat.qvtmp", "X"},
        {"stray.dat.qvtmp", "S"}},
       "A1B1",
       kNothingToSay},
      // Planted: what the repair can act on is acted on, the rest is left alone and the journal set aside.
      {"a line naming a folder as a file",
       switching + "O plain\n",
       {allSwitched.begin(), allSwitched.end()},
       "A1B1",
       kMixed,
       {"plain/", "plain/keep.txt"}},
      {"a line below a link", switching + "O linked/x.dll\nD linked/inner\n", allSwitched, "A1B1", kMixed},
      {"no journal of ours", "garbage\n", {{"a.dll", "A1"}, {"b.dll", "B1"}}, "A1B1", kSetAside},
      // A name is taken whole or not at all: a NUL must not make the line name another file.
      {"a NUL in a committed journal's name",
       head + "committed\nK settings.ini" + std::string(1, '\0') + "x\n",
       {{"a.dll", "A1"}, {"b.dll", "B1"}, {"settings.ini", "user"}},
       "A1B1",
       kSetAside,
       {"settings.ini"}},
      {"a NUL in a switching journal's name",
       switching + "N QuorvaneSoftware.exe" + std::string(1, '\0') + "\n",
       {{"a.dll.qvold", "A1"}, {"b.dll.qvold", "B1"}, {"a.dll", "A2"}, {"b.dll", "B2"}, {"QuorvaneSoftware.exe", "C"}},
       "A1B1",
       kMixed,
       {"QuorvaneSoftware.exe"}},
      {"zeros a power cut left",
       head + "staging\nT \nD extra\nT extra\n" + std::string(64, '\0'),
       {{"a.dll", "A1"}, {"b.dll", "B1"}, {"a.dll.qvtmp", "A2"}, {"extra/y.dat.qvtmp", "Y"}},
       "A1B1",
       kMarked},
      {"a folder that cannot be held now",
       head + "switching\nO a.dll\nN busy/x.dll\n",
       {{"a.dll.qvold", "A1"}, {"a.dll", "A2"}, {"b.dll", "B1"}, {"busy", "a file where a folder was"}},
       "A1B1",
       kNotNow,
       {"a.dll.qvtmp", "busy"}},
      {"a folder at the set-aside name",
       "garbage\n",
       {{"a.dll", "A1"}, {"b.dll", "B1"}, {"Quorvane.qvjournal.unusable/x", ""}},
       "A1B1",
       kSetAside,
       {"Quorvane.qvjournal.unusable/", "Quorvane.qvjournal.unusable/x"},
       "Quorvane.qvjournal.unusable.2"},
      {"a folder at its name",
       folderAtJournal,
       {{"a.dll", "A1"}, {"b.dll", "B1"}},
       "A1B1",
       kSetAside,
       {"Quorvane.qvjournal.unusable/", "Quorvane.qvjournal.unusable/x"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.state);
#ifdef _WIN32
    // This test makes its links with the host's symlink(), so only natively.
    if (std::string(row.state) == "a line below a link") continue;
#endif
    const Case left("left_" + std::to_string(&row - rows));
    if (row.journal == folderAtJournal) {
      left.Put("a.dll", "");
      CreateOneFolder((left.out + u"/Quorvane.qvjournal").c_str());
      left.Put("Quorvane.qvjournal/x", "");
    } else {
      left.Put("Quorvane.qvjournal", row.journal);
    }
    for (const auto& file : row.files) {
      for (const char* folder : {"/sub", "/extra", "/plain", "/Quorvane.qvjournal.unusable"})
        CreateOneFolder((left.out + Utf16(folder)).c_str());
      left.Put(file.first, file.second);
    }
    std::vector<std::string> expected = {"a.dll", "b.dll"};
    if (row.after.size() > 4) expected = {"a.dll", "b.dll", "sub/", "sub/c.dll"};
    expected.insert(expected.end(), row.alsoLeft.begin(), row.alsoLeft.end());
    const bool setAside = row.outcome == kSetAside || row.outcome == kUndoneAndSetAside || row.outcome == kMixed;
    if (setAside && row.journal != folderAtJournal) expected.push_back(row.aside);
    const bool unfinished = row.outcome == kMixed || row.outcome == kNotNow || row.outcome == kMarked;
    if (unfinished) expected.push_back("Quorvane.qvjournal");
    if (std::string(row.state) == "a line naming a folder as a file") left.Put("plain/keep.txt", "");
#ifndef _WIN32
    const std::u16string elsewhere = left.parent + u"/elsewhere";
    CreateOneFolder(elsewhere.c_str());
    CreateOneFolder((elsewhere + u"/inner").c_str());
    ASSERT_TRUE(WriteWholeFile(elsewhere + u"/x.dll.qvold", "not ours"));
    if (std::string(row.state) == "a line below a link") {
      ASSERT_EQ(symlink("../elsewhere", Utf8(left.out + u"/linked").c_str()), 0);
      for (const char* seen : {"linked/", "linked/inner/", "linked/x.dll.qvold"}) expected.push_back(seen);
    }
#endif
    std::sort(expected.begin(), expected.end());
    for (const char* folder : {"/sub", "/extra", "/plain", "/Quorvane.qvjournal.unusable"})
      RemoveEmptyFolder((left.out + Utf16(folder)).c_str());

    std::vector<std::string> reports;
    const UnzipReporter reporter{CollectReport, &reports};
    EXPECT_EQ(RepairInterruptedSwitch(left.out.c_str(), &reporter), !unfinished);
    EXPECT_EQ(FolderSwitchUnfinished(left.out.c_str()), unfinished);

    std::vector<std::string> said;
    if (row.outcome == kUndone || row.outcome == kUndoneAndSetAside) said.push_back("Switch Undone " + Utf8(left.out));
    if (unfinished) said.push_back("Switch Not Repaired " + Utf8(left.out));
    if (setAside) said.push_back("Journal Set Aside " + Utf8(left.out));
    EXPECT_EQ(reports, said);
    EXPECT_EQ(ListTree(left.out), expected);
    EXPECT_EQ(left.Read("a.dll") + left.Read("b.dll") + (row.after.size() > 4 ? left.Read("sub/c.dll") : ""),
              row.after);
#ifndef _WIN32
    EXPECT_EQ(ListTree(elsewhere), (std::vector<std::string>{"inner/", "x.dll.qvold"}));
#endif
    if (row.outcome == kNotNow) {
      // Once the folder can be held again, a later run finishes the repair.
      DeletePlainFile((left.out + u"/busy").c_str());
      reports.clear();
      EXPECT_TRUE(RepairInterruptedSwitch(left.out.c_str(), &reporter));
      EXPECT_EQ(reports, std::vector<std::string>{"Switch Undone " + Utf8(left.out)});
    }
    // Whatever was left, the next update goes ahead, and a folder that may have been mixed is whole.
    EXPECT_TRUE(left.UnzipBytes(BuildZip({File("a.dll", "A3")})).allInstalled);
    EXPECT_EQ(left.Read("a.dll"), "A3");
    EXPECT_FALSE(FolderSwitchUnfinished(left.out.c_str()));
    if (!row.afterUpdate.empty()) {
      EXPECT_EQ(ListTree(left.out), row.afterUpdate);
    }
  }
}

TEST(UnzipToFolder, ArchiveThatCannotBeOpenedWritesNothingAndSaysSo) {
  const Case garbage("unopenable");
  const std::u16string missing = garbage.parent + u"/missing.zip";
  Outcome run = Unzip(missing, garbage.out);
  EXPECT_FALSE(run.allInstalled);
  EXPECT_EQ(run.reports, std::vector<std::string>{"Open Failed " + Utf8(missing)});

  run = garbage.UnzipBytes(std::string(3000, 'x'));
  EXPECT_EQ(run.reports, std::vector<std::string>{"Open Failed " + Utf8(garbage.archive)});
  EXPECT_EQ(ListTree(garbage.parent), std::vector<std::string>{});  // not even the folder
}

// Windows refuses longer paths than MAX_PATH from a program without long-path awareness, and
// longer folders than 247 characters; Wine and Linux do not, so only the reports can show it.
TEST(UnzipToFolder, PathsBeyondWindowsLimitArePassedOverOneByOne) {
  const Case unpacked("long_paths");
  CreateOneFolder(unpacked.out.c_str());
  const std::size_t room = kEntryPathCapacity - 1 - unpacked.out.size() - 1 - 6;  // with ".qvtmp", 259
  const std::string fits(room, 'n');
  const std::string tooLong = std::string(room + 1, 'n');
  const std::string deepFolder = std::string(kEntryFolderCapacity - unpacked.out.size() - 1, 'd') + "/x";
  const std::string shortFolder = std::string(kEntryFolderCapacity - unpacked.out.size() - 2, 'd') + "/x";
  ASSERT_GT(room, 8u);
  const Outcome run = unpacked.UnzipBytes(
      BuildZip({File(fits, "fits"), File(tooLong, "long"), File(deepFolder, "deep"), File(shortFolder, "short")}));
  EXPECT_EQ(run.reports, (std::vector<std::string>{"Path Too Long " + tooLong, "Path Too Long " + deepFolder,
                                                   "Update Not Applied " + Utf8(unpacked.out)}));
  EXPECT_EQ(ListTree(unpacked.out), std::vector<std::string>{});  // the folder made for "short" too

  // A folder that cannot be made in one step: nothing can be installed, and with no entry to
  // notice, the folder that could not be made is still a failure.
  const std::u16string missing = unpacked.parent + u"/missing/inner";
  WriteWholeFile(unpacked.archive, BuildZip({File("short", "short")}));
  const Outcome none = Unzip(unpacked.archive, missing);
  EXPECT_EQ(none.reports, (std::vector<std::string>{"Folder Failed " + Utf8(missing), "Create Failed short",
                                                    "Update Not Applied " + Utf8(missing)}));
  WriteWholeFile(unpacked.archive, BuildZip(std::vector<TestEntry>{}));
  const Outcome empty = Unzip(unpacked.archive, missing);
  EXPECT_FALSE(empty.allInstalled);
  EXPECT_EQ(empty.reports,
            (std::vector<std::string>{"Folder Failed " + Utf8(missing), "Update Not Applied " + Utf8(missing)}));
}

#ifndef _WIN32
// A subfolder that is a link would take the entry elsewhere (into a system folder, for an elevated
// release); a target or a stale temporary file that is one would have its other end overwritten.
TEST(UnzipToFolder, NothingIsWrittenThroughALink) {
  const Case unpacked("links");
  const std::u16string elsewhere = unpacked.parent + u"/elsewhere";
  CreateOneFolder(elsewhere.c_str());
  ASSERT_TRUE(WriteWholeFile(elsewhere + u"/target", "other file"));
  CreateOneFolder(unpacked.out.c_str());
  CreateOneFolder((unpacked.out + u"/plain").c_str());
  const std::string out = Utf8(unpacked.out);
  ASSERT_EQ(symlink("../elsewhere", (out + "/sub").c_str()), 0);
  ASSERT_EQ(symlink("../../elsewhere", (out + "/plain/deeper").c_str()), 0);
  ASSERT_EQ(symlink("../elsewhere/target", (out + "/client.dll").c_str()), 0);
  ASSERT_EQ(symlink("../elsewhere/target", (out + "/other.dll.qvtmp").c_str()), 0);

  const Outcome run = unpacked.UnzipBytes(
      BuildZip({File("sub/a.dll", "a"), File("plain/deeper/b.dll", "b"), UnixFolder("sub/folder/"),
                File("client.dll", "client"), File("other.dll", "other"), File("plain/c.dll", "c")}));
  // An entry below a link (a folder the user moved elsewhere) cannot be installed with the others:
  // the update waits as a whole, rather than leave the old files below the link beside new ones.
  EXPECT_EQ(run.reports, (std::vector<std::string>{"Link Refused sub/a.dll", "Link Refused plain/deeper/b.dll",
                                                   "Link Refused sub/folder/", "Update Not Applied " + out}));
  EXPECT_EQ(ListTree(elsewhere), std::vector<std::string>{"target"});
  EXPECT_EQ(Contents(elsewhere + u"/target"), "other file");
  EXPECT_EQ(unpacked.Read("other.dll"), "<missing>");
  EXPECT_EQ(unpacked.Read("plain/c.dll"), "<missing>");
  // Without the links, a link at a file's own name is replaced, never written through.
  ASSERT_EQ(unlink((out + "/sub").c_str()), 0);
  ASSERT_EQ(unlink((out + "/plain/deeper").c_str()), 0);
  const Outcome again = unpacked.UnzipBytes(BuildZip({File("client.dll", "client"), File("other.dll", "other")}));
  EXPECT_TRUE(again.allInstalled);
  EXPECT_EQ(Contents(elsewhere + u"/target"), "other file");
  EXPECT_EQ(unpacked.Read("client.dll"), "client");
  EXPECT_EQ(unpacked.Read("other.dll"), "other");
  EXPECT_EQ(GetPathAttributes((unpacked.out + u"/client.dll").c_str()) & kAttributeReparsePoint, 0u);
}
#endif

#ifdef _WIN32
// Another program holds the installed file open without sharing: a scanner lets go after a
// moment, and the update waits for it and arrives whole; the client still running never lets go,
// so nothing is switched: the other file is not installed either.
TEST(UnzipToFolder, FileInUseKeepsItsOldContentsUnlessItIsLetGoSoon) {
  const struct {
    const char* holder;
    DWORD letGoAfterMs;  // 0: not before the update ends
    std::vector<std::string> reports;
    const char* after;
  } rows[] = {{"a scanner", 1000, {"File Held client.dll"}, "new client"},
              {"the running client", 0, {"Move Failed client.dll", "Update Not Applied "}, "old client"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.holder);
    const Case unpacked(std::string("in_use_") + std::to_string(&row - rows));
    unpacked.Put("client.dll", "old client");
    Outcome run;
    {
      ScopedHandle held(CreateFileW(reinterpret_cast<const wchar_t*>((unpacked.out + u"/client.dll").c_str()),
                                    GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
      ASSERT_TRUE(held.IsValid());
      std::thread letGo([&held, &row] {
        if (row.letGoAfterMs == 0) return;
        Sleep(row.letGoAfterMs);
        held.Reset();
      });
      run = unpacked.UnzipBytes(BuildZip({File("client.dll", "new client"), File("other.dll", "other")}));
      letGo.join();
    }
    std::vector<std::string> expected = row.reports;
    if (row.letGoAfterMs == 0) expected.back() += Utf8(unpacked.out);
    EXPECT_EQ(run.reports, expected);
    EXPECT_EQ(unpacked.Read("client.dll"), row.after);
    const std::vector<std::string> installed = row.letGoAfterMs == 0
                                                   ? std::vector<std::string>{"client.dll"}
                                                   : std::vector<std::string>{"client.dll", "other.dll"};
    EXPECT_EQ(ListTree(unpacked.out), installed);
  }
}

// Windows (and Wine) find a file or folder by its short name too: an entry of that name would replace
// another file, or write below another folder. Where the volume keeps no short names there is no case.
TEST(UnzipToFolder, ShortNameOfAnotherFileIsADuplicateName) {
  const Case unpacked("short_names");
  unpacked.Put("QuorvaneSoftware.exe", "client");
  CreateOneFolder((unpacked.out + u"/Long Folder Name").c_str());
  const auto shortName = [&unpacked](const char16_t* name) {
    wchar_t path[MAX_PATH];
    GetShortPathNameW(reinterpret_cast<const wchar_t*>((unpacked.out + u"/" + name).c_str()), path, MAX_PATH);
    const std::string shortPath = Utf8(reinterpret_cast<const char16_t*>(path));
    return shortPath.substr(shortPath.find_last_of("/\\") + 1);
  };
  const std::string file = shortName(u"QuorvaneSoftware.exe"), folder = shortName(u"Long Folder Name");
  if (file == "QuorvaneSoftware.exe") GTEST_SKIP() << "no short names on this volume";
  const Outcome run = unpacked.UnzipBytes(BuildZip({File(file, "other"), File(folder + "/x.dll", "x")}));
  EXPECT_EQ(run.reports, (std::vector<std::string>{"Duplicate Name " + file, "Duplicate Name " + folder + "/x.dll"}));
  EXPECT_EQ(unpacked.Read("QuorvaneSoftware.exe"), "client");
  EXPECT_EQ(ListTree(unpacked.out), (std::vector<std::string>{"Long Folder Name/", "QuorvaneSoftware.exe"}));
}

// The unpack phase: the client archive below an APPDATA of the test's own, its log lines in order.
TEST(UnpackClientArchive, LogsTheUnpackAndEveryEntryNotInstalled) {
  const Case appData("unpack_phase");
  const std::u16string root = appData.parent + u"/Quorvane/Software";
  CreateOneFolder((appData.parent + u"/Quorvane").c_str());
  CreateOneFolder(root.c_str());
  ASSERT_TRUE(WriteWholeFile(root + u"/SoftQuorvane.zip",
                             BuildZip({File("QuorvaneSoftware.exe", "client"), File("../escape.exe", "no")})));
  wchar_t appDataPath[MAX_PATH];
  GetFullPathNameW(reinterpret_cast<const wchar_t*>(appData.parent.c_str()), MAX_PATH, appDataPath, nullptr);
  const std::u16string logPath = appData.parent + u"/log.txt";
  FILE* log = OpenLog(reinterpret_cast<const wchar_t*>(logPath.c_str()));
  ASSERT_NE(log, nullptr);
  UnpackClientArchive(log, appDataPath);
  CloseLog(log);

  std::vector<std::string> messages;
  for (std::string line : SplitLines(Contents(logPath), "\r\n")) {
    const std::size_t begin = line.find(":  ") + 3;
    messages.push_back(line.substr(begin, line.rfind(" ErrorCode:") - begin));
  }
  EXPECT_EQ(messages, (std::vector<std::string>{"Quorvane.zip UnZip", "UnzipToFolder Refused Name ../escape.exe"}));
  EXPECT_EQ(Contents(root + u"/QuorvaneSoftware.exe"), "client");

  // An archive that is not there: one line says so.
  DeletePlainFile((root + u"/SoftQuorvane.zip").c_str());
  log = OpenLog(reinterpret_cast<const wchar_t*>(logPath.c_str()));
  UnpackClientArchive(log, appDataPath);
  CloseLog(log);
  const std::string text = Contents(logPath);
  char narrowAppData[MAX_PATH];
  WideCharToMultiByte(CP_ACP, 0, appDataPath, -1, narrowAppData, MAX_PATH, nullptr, nullptr);
  EXPECT_NE(text.find("UnzipToFolder Open Failed " + std::string(narrowAppData) +
                      "\\Quorvane\\Software\\SoftQuorvane.zip ErrorCode:2\r\n"),
            std::string::npos)
      << text;
}
#endif

}  // namespace
