// Win32 side of the file seam: each call is the Win32 function it is named after.
#include <windows.h>

#include "platform/file_system.h"
#include "platform/hold_retry.h"
#include "platform/scoped_handle.h"

namespace {

const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
HANDLE Handle(PlatformFile file) { return static_cast<HANDLE>(file); }

const FILETIME* AsFileTime(const FileTime* time) {
  static_assert(sizeof(FileTime) == sizeof(FILETIME), "FileTime mirrors FILETIME");
  return reinterpret_cast<const FILETIME*>(time);
}

}  // namespace

PlatformFile InvalidPlatformFile() { return INVALID_HANDLE_VALUE; }

bool IsValidPlatformFile(PlatformFile file) { return file != INVALID_HANDLE_VALUE && file != nullptr; }

PlatformFile OpenFileForReading(const char16_t* path) {
  return CreateFileW(Wide(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

PlatformFile CreateFileForWriting(const char16_t* path, std::uint32_t attributes) {
  return CreateFileW(Wide(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, attributes, nullptr);
}

PlatformFile CreateNewFile(const char16_t* path, std::uint32_t attributes) {
  return CreateFileW(Wide(path), GENERIC_WRITE, 0, nullptr, CREATE_NEW, attributes, nullptr);
}

PlatformFile OpenPlainFileForAppending(const char16_t* path) {
  // Opened on a link itself, never on what it leads to; a hard link shows in the count of names.
  ScopedHandle file(CreateFileW(Wide(path), FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION information;
  if (!file.IsValid() || !GetFileInformationByHandle(file.Get(), &information)) return InvalidPlatformFile();
  const DWORD notPlain = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
  if ((information.dwFileAttributes & notPlain) != 0 || information.nNumberOfLinks != 1) {
    SetLastError(ERROR_REPARSE_ATTRIBUTE_CONFLICT);
    return InvalidPlatformFile();
  }
  return file.Release();
}

PlatformFile OpenPlainFolder(const char16_t* path) {
  // Wine shows a Unix link as a reparse point only in the path's attributes; Windows shows a
  // junction or link in the attributes of the handle, which is opened on the link itself and so
  // also settles a race with a link that replaced the folder after the first look.
  const DWORD attributes = GetFileAttributesW(Wide(path));
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
    return InvalidPlatformFile();
  ScopedHandle folder(CreateFileW(Wide(path), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION information;
  if (!folder.IsValid() || !GetFileInformationByHandle(folder.Get(), &information)) return InvalidPlatformFile();
  const DWORD held = information.dwFileAttributes;
  if ((held & FILE_ATTRIBUTE_DIRECTORY) == 0 || (held & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    SetLastError(ERROR_REPARSE_ATTRIBUTE_CONFLICT);
    return InvalidPlatformFile();
  }
  return folder.Release();
}

void ClosePlatformFile(PlatformFile file) { ScopedHandle owner(Handle(file)); }

bool ReadFromFile(PlatformFile file, void* buffer, std::uint32_t size, std::uint32_t* bytesRead) {
  DWORD read = 0;
  const BOOL ok = ReadFile(Handle(file), buffer, size, &read, nullptr);
  *bytesRead = read;
  return ok != FALSE;
}

bool WriteToFile(PlatformFile file, const void* data, std::uint32_t size) {
  DWORD written = 0;
  return WriteFile(Handle(file), data, size, &written, nullptr) && written == size;
}

bool FlushFile(PlatformFile file) { return FlushFileBuffers(Handle(file)) != FALSE; }

bool FlushFileAtPath(const char16_t* path) {
  // FlushFileBuffers needs write access; the link itself, never its target.
  ScopedHandle file(
      CreateFileW(Wide(path), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  return file.IsValid() && FlushFileBuffers(file.Get()) != FALSE;
}

bool FlushFileSystemOf(const char16_t*) { return false; }

bool SeekFile(PlatformFile file, std::int64_t offset, SeekOrigin origin, std::uint64_t* position) {
  const DWORD method = origin == SeekOrigin::Start     ? FILE_BEGIN
                       : origin == SeekOrigin::Current ? FILE_CURRENT
                                                       : FILE_END;
  LARGE_INTEGER distance;
  distance.QuadPart = offset;
  LARGE_INTEGER now;
  if (!SetFilePointerEx(Handle(file), distance, &now, method)) return false;
  if (position != nullptr) *position = static_cast<std::uint64_t>(now.QuadPart);
  return true;
}

bool SetFileTimes(PlatformFile file, const FileTime* creation, const FileTime* access, const FileTime* write) {
  return SetFileTime(Handle(file), AsFileTime(creation), AsFileTime(access), AsFileTime(write)) != FALSE;
}

std::uint32_t GetPathAttributes(const char16_t* path) { return GetFileAttributesW(Wide(path)); }

bool CreateOneFolder(const char16_t* path) { return CreateDirectoryW(Wide(path), nullptr) != FALSE; }

bool MoveFileOver(const char16_t* from, const char16_t* to) {
  return MoveFileExW(Wide(from), Wide(to), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

bool MoveFolder(const char16_t* from, const char16_t* to) { return MoveFileExW(Wide(from), Wide(to), 0) != FALSE; }

bool DeletePlainFile(const char16_t* path) { return DeleteFileW(Wide(path)) != FALSE; }

bool ListPlainFiles(const char16_t* folder, std::vector<std::u16string>* names) {
  const std::u16string pattern = std::u16string(folder) + u"\\*";
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW(Wide(pattern.c_str()), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  do {
    if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0)
      names->emplace_back(reinterpret_cast<const char16_t*>(found.cFileName));
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return true;
}

bool RemoveEmptyFolder(const char16_t* path) { return RemoveDirectoryW(Wide(path)) != FALSE; }

std::uint32_t GetCurrentFolder(char16_t* buffer, std::uint32_t capacity) {
  return GetCurrentDirectoryW(capacity, reinterpret_cast<wchar_t*>(buffer));
}

// A scanner's handle without delete sharing gives a sharing violation; a byte-range lock, a lock
// violation; a file whose deletion waits for another handle to close (delete pending) refuses to
// be opened, created or renamed with access denied until it is gone. Access denied also stands
// for a refusal that no wait changes (an access list); the bound keeps that cost small.
bool LastFailureWasHold() {
  const DWORD error = GetLastError();
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_ACCESS_DENIED;
}

void PauseMs(std::uint32_t milliseconds) {
  const DWORD error = GetLastError();  // the failure being waited out stays the one reported
  Sleep(milliseconds);
  SetLastError(error);
}

std::uint32_t GetStoredName(const char16_t* path, char16_t* name, std::uint32_t capacity) {
  // FindFirstFileW takes a pattern: with no wildcard in it (the DOS ones "<", ">" and '"' included)
  // it finds the one entry of that name, under its long name.
  for (const char16_t* p = path; *p != 0; ++p) {
    if (*p == u'*' || *p == u'?' || *p == u'<' || *p == u'>' || *p == u'"') return 0;
  }
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW(Wide(path), &found);
  if (search == INVALID_HANDLE_VALUE) return 0;
  FindClose(search);
  std::uint32_t length = 0;
  while (found.cFileName[length] != 0) ++length;
  if (length >= capacity) return 0;
  for (std::uint32_t i = 0; i <= length; ++i) name[i] = static_cast<char16_t>(found.cFileName[i]);
  return length;
}
