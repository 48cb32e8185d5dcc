#include "archive_test_support.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/file_system.h"
#include "platform/text_encoding.h"
#ifdef _WIN32
#include "tests/support/win_test_support.h"
#endif

OpenedArchive OpenBytes(const std::string& bytes, const char* password) {
  return OpenedArchive(OpenArchiveFromMemory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), password));
}

OpenedArchive OpenPath(const std::u16string& path, const char* password) {
  return OpenedArchive(OpenArchive(path.c_str(), password));
}

Extraction ExtractWhole(ArchiveHandle handle, std::int32_t index, std::uint32_t size, std::uint32_t chunk) {
  Extraction extraction;
  std::string buffer(chunk, '\0');
  for (int call = 0; call < 100000; ++call) {
    const ArchiveResult result = ExtractEntryToMemory(handle, index, &buffer[0], chunk);
    extraction.results.push_back(result);
    if (result == ArchiveResult::MoreData) {
      extraction.data += buffer;
      continue;
    }
    if (result == ArchiveResult::Ok && size >= extraction.data.size()) {
      extraction.data += buffer.substr(0, size - extraction.data.size());
    }
    break;
  }
  return extraction;
}

Extraction ExtractDescribed(ArchiveHandle handle, std::int32_t index) {
  ArchiveEntryInfo info;
  if (GetArchiveEntry(handle, index, &info) != ArchiveResult::Ok) return Extraction{{LastArchiveResult}, ""};
  return ExtractWhole(handle, index, static_cast<std::uint32_t>(info.uncompressedSize));
}

std::u16string Utf16(const std::string& utf8) {
  if (utf8.empty()) return u"";
  std::u16string text(utf8.size(), u'\0');
  const int n = Utf8ToUtf16(utf8.data(), static_cast<int>(utf8.size()), &text[0], static_cast<int>(text.size()));
  text.resize(n > 0 ? n : 0);
  return text;
}

std::string Utf8(const std::u16string& text) {
  if (text.empty()) return "";
  std::string utf8(text.size() * 3, '\0');
  const int n = Utf16ToUtf8(text.data(), static_cast<int>(text.size()), &utf8[0], static_cast<int>(utf8.size()));
  utf8.resize(n > 0 ? n : 0);
  return utf8;
}

bool ReadWholeFile(const std::u16string& path, std::string* bytes) {
  ScopedPlatformFile file(OpenFileForReading(path.c_str()));
  if (!file.IsValid()) return false;
  bytes->clear();
  char block[65536];
  for (;;) {
    std::uint32_t read = 0;
    if (!ReadFromFile(file.Get(), block, sizeof block, &read)) return false;
    if (read == 0) return true;
    bytes->append(block, read);
  }
}

bool WriteWholeFile(const std::u16string& path, const std::string& bytes) {
  ScopedPlatformFile file(CreateFileForWriting(path.c_str(), kAttributeNormal));
  return file.IsValid() && WriteToFile(file.Get(), bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

namespace {

void RemoveTree(const std::string& folder) {
#ifdef _WIN32
  // The Windows tests' own walk, not "rmdir /s", which Wine's cmd did not carry out.
  const std::u16string path = Utf16(folder);
  std::wstring wide(path.begin(), path.end());
  for (wchar_t& c : wide) c = c == L'/' ? L'\\' : c;
  ::RemoveTree(wide);
#else
  const std::string command = "rm -rf '" + folder + "'";
  std::system(command.c_str());
#endif
}

// All scratch folders of one test program lie in one folder of the system's temporary folder,
// removed when the program's tests end: wherever the program is started from, it writes nothing
// there (a run from the source tree once left its files in the repository).
class ScratchRoot : public testing::Environment {
 public:
  static const std::string& Path() {
    static const std::string root = testing::TempDir() + "quorvane-scratch-" + std::to_string(ProcessId());
    return root;
  }
  void TearDown() override { RemoveTree(Path()); }

 private:
  static unsigned long ProcessId() {
#ifdef _WIN32
    return GetCurrentProcessId();
#else
    return static_cast<unsigned long>(getpid());
#endif
  }
};

testing::Environment* const scratchRoot = testing::AddGlobalTestEnvironment(new ScratchRoot);

}  // namespace

std::u16string ScratchFolder(const std::string& name) {
  const std::string& root = ScratchRoot::Path();
  const std::string folder = root + "/" + name;
  RemoveTree(folder);
  CreateOneFolder(Utf16(root).c_str());
  std::u16string path = Utf16(folder);
  CreateMissingFolders(&path[0], static_cast<std::uint32_t>(root.size()), static_cast<std::uint32_t>(path.size()));
  return path;
}

void PrintTo(ArchiveResult result, std::ostream* out) {
  *out << "0x" << std::hex << static_cast<std::uint32_t>(result) << std::dec;
}

std::uint64_t FileWriteTime(const std::u16string& path) {
#ifdef _WIN32
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(reinterpret_cast<const wchar_t*>(path.c_str()), GetFileExInfoStandard, &data)) return 0;
  return (std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime;
#else
  struct stat status {};
  if (stat(Utf8(path).c_str(), &status) != 0) return 0;
  return static_cast<std::uint64_t>((static_cast<std::int64_t>(status.st_mtim.tv_sec) + 11644473600) * 10000000 +
                                    status.st_mtim.tv_nsec / 100);
#endif
}
