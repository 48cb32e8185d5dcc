// POSIX side of the file seam: paths arrive as UTF-16 with "\" or "/" separators and go to the
// system as UTF-8 with "/".
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <utility>

#include "platform/file_system.h"
#include "platform/hold_retry.h"
#include "platform/text_encoding.h"

namespace {

constexpr int kPathBytes = 4096;  // PATH_MAX

// A UTF-16 path as the system takes it; empty (and false) when it does not fit or is not text.
class PosixPath {
 public:
  explicit PosixPath(const char16_t* path) {
    valid_ = path != nullptr && Utf16ToUtf8(path, -1, text_, kPathBytes) > 0;
    if (!valid_) {
      text_[0] = 0;
      errno = ENAMETOOLONG;
      return;
    }
    for (char* c = text_; *c != 0; ++c) {
      if (*c == '\\') *c = '/';
    }
  }
  bool IsValid() const { return valid_; }
  const char* Get() const { return text_; }

 private:
  char text_[kPathBytes];
  bool valid_ = false;
};

int Descriptor(PlatformFile file) { return static_cast<int>(reinterpret_cast<std::intptr_t>(file)); }
PlatformFile FromDescriptor(int descriptor) {
  return reinterpret_cast<PlatformFile>(static_cast<std::intptr_t>(descriptor));
}

timespec ToTimespec(const FileTime* time) {
  timespec result{};
  if (time == nullptr || FileTimeValue(*time) == 0) {
    result.tv_nsec = UTIME_OMIT;
    return result;
  }
  const std::int64_t ticks = static_cast<std::int64_t>(FileTimeValue(*time)) - 116444736000000000;
  std::int64_t seconds = ticks / 10000000;
  std::int64_t remainder = ticks % 10000000;
  if (remainder < 0) {
    remainder += 10000000;
    seconds -= 1;
  }
  result.tv_sec = static_cast<time_t>(seconds);
  result.tv_nsec = static_cast<long>(remainder * 100);
  return result;
}

}  // namespace

PlatformFile InvalidPlatformFile() { return FromDescriptor(-1); }

bool IsValidPlatformFile(PlatformFile file) { return Descriptor(file) >= 0; }

PlatformFile OpenFileForReading(const char16_t* path) {
  const PosixPath posixPath(path);
  if (!posixPath.IsValid()) return InvalidPlatformFile();
  const int descriptor = open(posixPath.Get(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) return InvalidPlatformFile();
  struct stat status {};
  if (fstat(descriptor, &status) != 0 || S_ISDIR(status.st_mode)) {  // CreateFileW refuses folders here
    close(descriptor);
    return InvalidPlatformFile();
  }
  return FromDescriptor(descriptor);
}

PlatformFile CreateFileForWriting(const char16_t* path, std::uint32_t attributes) {
  const PosixPath posixPath(path);
  if (!posixPath.IsValid()) return InvalidPlatformFile();
  const mode_t mode = (attributes & kAttributeReadOnly) != 0 ? 0444 : 0666;
  return FromDescriptor(open(posixPath.Get(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
}

PlatformFile CreateNewFile(const char16_t* path, std::uint32_t attributes) {
  const PosixPath posixPath(path);
  if (!posixPath.IsValid()) return InvalidPlatformFile();
  const mode_t mode = (attributes & kAttributeReadOnly) != 0 ? 0444 : 0666;
  // O_EXCL also refuses a symbolic link, even one that leads nowhere.
  return FromDescriptor(open(posixPath.Get(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
}

PlatformFile OpenPlainFolder(const char16_t* path) {
  const PosixPath posixPath(path);
  if (!posixPath.IsValid()) return InvalidPlatformFile();
  return FromDescriptor(open(posixPath.Get(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

PlatformFile OpenPlainFileForAppending(const char16_t* path) {
  const PosixPath posixPath(path);
  const int descriptor =
      posixPath.IsValid() ? open(posixPath.Get(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK) : -1;
  struct stat status {};
  if (descriptor >= 0 && fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode) && status.st_nlink == 1)
    return FromDescriptor(descriptor);
  if (descriptor >= 0) close(descriptor);
  return InvalidPlatformFile();
}

void ClosePlatformFile(PlatformFile file) {
  if (IsValidPlatformFile(file)) close(Descriptor(file));
}

bool ReadFromFile(PlatformFile file, void* buffer, std::uint32_t size, std::uint32_t* bytesRead) {
  std::uint32_t total = 0;
  while (total < size) {
    const ssize_t n = read(Descriptor(file), static_cast<char*>(buffer) + total, size - total);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *bytesRead = total;
      return false;
    }
    if (n == 0) break;
    total += static_cast<std::uint32_t>(n);
  }
  *bytesRead = total;
  return true;
}

bool WriteToFile(PlatformFile file, const void* data, std::uint32_t size) {
  std::uint32_t total = 0;
  while (total < size) {
    const ssize_t n = write(Descriptor(file), static_cast<const char*>(data) + total, size - total);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    total += static_cast<std::uint32_t>(n);
  }
  return true;
}

bool FlushFile(PlatformFile file) { return fsync(Descriptor(file)) == 0; }

namespace {

// Opens path with flags just for flush (fsync or syncfs) to act on it.
bool FlushOpened(const char16_t* path, int flags, int (*flush)(int)) {
  const PosixPath posixPath(path);
  const int descriptor = posixPath.IsValid() ? open(posixPath.Get(), flags | O_CLOEXEC) : -1;
  if (descriptor < 0) return false;
  const bool flushed = flush(descriptor) == 0;
  close(descriptor);
  return flushed;
}

}  // namespace

bool FlushFileAtPath(const char16_t* path) { return FlushOpened(path, O_WRONLY | O_NOFOLLOW, fsync); }

bool FlushFileSystemOf(const char16_t* folder) { return FlushOpened(folder, O_RDONLY | O_DIRECTORY, syncfs); }

bool SeekFile(PlatformFile file, std::int64_t offset, SeekOrigin origin, std::uint64_t* position) {
  const int whence = origin == SeekOrigin::Start ? SEEK_SET : origin == SeekOrigin::Current ? SEEK_CUR : SEEK_END;
  const off_t now = lseek(Descriptor(file), static_cast<off_t>(offset), whence);
  if (now < 0) return false;
  if (position != nullptr) *position = static_cast<std::uint64_t>(now);
  return true;
}

bool SetFileTimes(PlatformFile file, const FileTime* /*creation*/, const FileTime* access, const FileTime* write) {
  const timespec times[2] = {ToTimespec(access), ToTimespec(write)};
  return futimens(Descriptor(file), times) == 0;
}

std::uint32_t GetPathAttributes(const char16_t* path) {
  const PosixPath posixPath(path);
  struct stat status {};
  if (!posixPath.IsValid() || lstat(posixPath.Get(), &status) != 0) return kInvalidAttributes;
  // As Windows shows a link: a reparse point, a folder when it leads to one (or an empty file).
  const bool link = S_ISLNK(status.st_mode);
  if (link && stat(posixPath.Get(), &status) != 0) return kAttributeReparsePoint | kAttributeArchive;
  std::uint32_t attributes = S_ISDIR(status.st_mode) ? kAttributeDirectory : kAttributeArchive;
  if ((status.st_mode & S_IWUSR) == 0) attributes |= kAttributeReadOnly;
  return link ? attributes | kAttributeReparsePoint : attributes;
}

bool CreateOneFolder(const char16_t* path) {
  const PosixPath posixPath(path);
  return posixPath.IsValid() && mkdir(posixPath.Get(), 0777) == 0;
}

bool MoveFileOver(const char16_t* from, const char16_t* to) {
  const PosixPath fromPath(from);
  const PosixPath toPath(to);
  return fromPath.IsValid() && toPath.IsValid() && std::rename(fromPath.Get(), toPath.Get()) == 0;
}

bool MoveFolder(const char16_t* from, const char16_t* to) {
  const PosixPath fromPath(from);
  const PosixPath toPath(to);
  return fromPath.IsValid() && toPath.IsValid() &&
         renameat2(AT_FDCWD, fromPath.Get(), AT_FDCWD, toPath.Get(), RENAME_NOREPLACE) == 0;
}

bool DeletePlainFile(const char16_t* path) {
  const PosixPath posixPath(path);
  return posixPath.IsValid() && unlink(posixPath.Get()) == 0;
}

bool ListPlainFiles(const char16_t* folder, std::vector<std::u16string>* names) {
  const PosixPath posixPath(folder);
  DIR* directory = posixPath.IsValid() ? opendir(posixPath.Get()) : nullptr;
  if (directory == nullptr) return false;
  while (const dirent* entry = readdir(directory)) {
    struct stat status {};
    if (fstatat(dirfd(directory), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(status.st_mode))
      continue;
    const int units = Utf8ToUtf16(entry->d_name, -1, nullptr, 0);
    if (units <= 1) continue;
    std::u16string name(static_cast<std::size_t>(units), u'\0');
    Utf8ToUtf16(entry->d_name, -1, &name[0], units);
    name.pop_back();  // the terminator
    names->push_back(std::move(name));
  }
  closedir(directory);
  return true;
}

bool RemoveEmptyFolder(const char16_t* path) {
  const PosixPath posixPath(path);
  return posixPath.IsValid() && rmdir(posixPath.Get()) == 0;
}

std::uint32_t GetCurrentFolder(char16_t* buffer, std::uint32_t capacity) {
  char folder[kPathBytes];
  if (getcwd(folder, sizeof folder) == nullptr) return 0;
  const int needed = Utf8ToUtf16(folder, -1, nullptr, 0);  // terminator included
  if (needed <= 0) return 0;
  if (static_cast<std::uint32_t>(needed) > capacity) return static_cast<std::uint32_t>(needed);
  return static_cast<std::uint32_t>(Utf8ToUtf16(folder, -1, buffer, static_cast<int>(capacity)) - 1);
}

// POSIX renames and deletes do not wait for other programs' open files; only a busy device or a
// running program's file refuses for a while. Permissions are never waited for here.
bool LastFailureWasHold() { return errno == EBUSY || errno == ETXTBSY; }

void PauseMs(std::uint32_t milliseconds) {
  const int error = errno;
  timespec pause{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
  errno = error;
}

std::uint32_t GetStoredName(const char16_t* path, char16_t* name, std::uint32_t capacity) {
  const char16_t* last = path;
  for (const char16_t* p = path; *p != 0; ++p) {
    if (IsPathSeparator(*p)) last = p + 1;
  }
  std::uint32_t length = 0;
  while (last[length] != 0) ++length;
  if (length >= capacity) return 0;
  for (std::uint32_t i = 0; i <= length; ++i) name[i] = last[i];
  return length;
}
