#include "fuzz_scratch.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace {

std::string MakeRoot() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != 0 ? base : "/tmp") + "/quorvane-fuzz-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  return pattern;
}

void RemoveRoot() { RemoveTreeAt(ScratchRoot()); }

const std::u16string& ScratchFilePath() {
  static const std::u16string* const path = new std::u16string(ToUtf16(ScratchRoot() + "/input.zip"));
  return *path;
}

}  // namespace

const std::string& ScratchRoot() {
  // Never destroyed: the exit handler that removes the folder needs its name.
  static const std::string* const root = [] {
    auto* made = new std::string(MakeRoot());
    std::atexit(RemoveRoot);
    return made;
  }();
  return *root;
}

std::u16string ToUtf16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

void RemoveTreeAt(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

ScratchFile::~ScratchFile() = default;

bool ScratchFile::Write(const void* prefix, std::size_t prefixSize, const void* data, std::size_t size) {
  ScopedPlatformFile file(CreateFileForWriting(Path(), kAttributeNormal));
  return file.IsValid() && WriteToFile(file.Get(), prefix, static_cast<std::uint32_t>(prefixSize)) &&
         WriteToFile(file.Get(), data, static_cast<std::uint32_t>(size));
}

const char16_t* ScratchFile::Path() const { return ScratchFilePath().c_str(); }

PlatformFile ScratchFile::OpenAt(std::size_t offset) {
  lent_.Reset(OpenFileForReading(Path()));
  if (!lent_.IsValid() || !SeekFile(lent_.Get(), static_cast<std::int64_t>(offset), SeekOrigin::Start, nullptr)) {
    lent_.Reset();
  }
  return lent_.Get();
}
