// The file and folder calls of the portable code (the ZIP reader and the folder extraction).
// Paths are UTF-16 on every host; on POSIX hosts "\" counts as a separator and the path is
// handed to the system as UTF-8. Results follow the Win32 calls they stand for: false (or an
// invalid file) on failure, nothing thrown.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/file_time.h"
#include "platform/scoped_owner.h"

// A HANDLE on Windows, a file descriptor (stored in the pointer) on POSIX hosts.
using PlatformFile = void*;

PlatformFile InvalidPlatformFile();  // INVALID_HANDLE_VALUE, or descriptor -1
bool IsValidPlatformFile(PlatformFile file);

// Windows file attribute bits; on POSIX hosts read-only stands for a missing owner-write bit.
inline constexpr std::uint32_t kAttributeReadOnly = 0x01;
inline constexpr std::uint32_t kAttributeHidden = 0x02;
inline constexpr std::uint32_t kAttributeSystem = 0x04;
inline constexpr std::uint32_t kAttributeDirectory = 0x10;
inline constexpr std::uint32_t kAttributeArchive = 0x20;
inline constexpr std::uint32_t kAttributeNormal = 0x80;
inline constexpr std::uint32_t kAttributeReparsePoint = 0x400;
inline constexpr std::uint32_t kInvalidAttributes = 0xFFFFFFFF;

enum class SeekOrigin { Start, Current, End };

// Either separator, on every host.
inline bool IsPathSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

// Existing file, read access, others may read too.
PlatformFile OpenFileForReading(const char16_t* path);
// Created or truncated, write access, no sharing, with the given attribute bits.
PlatformFile CreateFileForWriting(const char16_t* path, std::uint32_t attributes);
// The same, but only as a new file: whatever stands at path already, a link included, makes it fail,
// so nothing is ever written through an existing name.
PlatformFile CreateNewFile(const char16_t* path, std::uint32_t attributes);
// An existing plain file with one name (no link of either kind), for appending: invalid otherwise,
// so that nothing is ever added to another file through a name that was swapped meanwhile.
PlatformFile OpenPlainFileForAppending(const char16_t* path);
// An existing folder that is no link, held open so that it can be neither renamed nor removed (and
// so replaced by a link) until it is closed: Windows keeps a folder open without delete sharing in
// place. Invalid when path is missing, no folder, or a reparse point of any kind.
PlatformFile OpenPlainFolder(const char16_t* path);
void ClosePlatformFile(PlatformFile file);

// Closes the file it holds when it goes out of scope.
struct PlatformFileTraits {
  using Value = PlatformFile;
  static PlatformFile Empty() { return InvalidPlatformFile(); }
  static bool IsHeld(PlatformFile file) { return IsValidPlatformFile(file); }
  static void Close(PlatformFile file) { ClosePlatformFile(file); }
};
using ScopedPlatformFile = ScopedOwner<PlatformFileTraits>;

// Reads up to size bytes; fewer only at the end of the file. False on a read error.
bool ReadFromFile(PlatformFile file, void* buffer, std::uint32_t size, std::uint32_t* bytesRead);
// False unless every byte was written.
bool WriteToFile(PlatformFile file, const void* data, std::uint32_t size);
// Returns once the file's data is on the disk itself, not only in the system's cache.
bool FlushFile(PlatformFile file);
// Reopens a file written earlier and returns once its data is on the disk: many files are written
// first and flushed together, by which time the system has written back most of them.
bool FlushFileAtPath(const char16_t* path);
// Flushes everything written to the file system that holds folder, in one call; false where the
// platform has no such call for an ordinary user (Windows flushes a volume only for administrators),
// and the caller then flushes file by file.
bool FlushFileSystemOf(const char16_t* folder);
// Moves the file position; the new position from the file's start goes to *position when given.
bool SeekFile(PlatformFile file, std::int64_t offset, SeekOrigin origin, std::uint64_t* position);
// Null times are left unchanged; so is a zero FILETIME (as NTFS does). POSIX hosts have no
// settable creation time.
bool SetFileTimes(PlatformFile file, const FileTime* creation, const FileTime* access, const FileTime* write);

// kInvalidAttributes when the path does not exist.
std::uint32_t GetPathAttributes(const char16_t* path);
// One level: the parent must exist.
bool CreateOneFolder(const char16_t* path);
// Replaces an existing target in one step.
bool MoveFileOver(const char16_t* from, const char16_t* to);
bool DeletePlainFile(const char16_t* path);
// Renames a folder (or file) to a name that does not exist yet; a folder cannot replace anything.
bool MoveFolder(const char16_t* from, const char16_t* to);
// The plain files directly in folder (no folders, no links), by name; false when it cannot be read.
bool ListPlainFiles(const char16_t* folder, std::vector<std::u16string>* names);
// Only an empty folder, and never what a link leads to.
bool RemoveEmptyFolder(const char16_t* path);
// Creates every missing folder of path[0, end), from position from on: path[0, from) exists or is
// not ours to create ("C:\", "\\server\share\"). True when path[0, end) is a folder afterwards
// (an empty one is the current folder). path is changed while it works and then restored.
bool CreateMissingFolders(char16_t* path, std::uint32_t from, std::uint32_t end);
// Folders held open with OpenPlainFolder, outermost first, for as long as something is written
// below them: none of them can be turned into a link meanwhile.
inline constexpr std::uint32_t kMaxHeldFolders = 128;
struct HeldFolders {
  ScopedPlatformFile folders[kMaxHeldFolders];
  std::uint32_t count = 0;
  void Clear() {
    while (count > 0) folders[--count].Reset();
  }
};
// Holds every folder of path[0, end) from position from on ("a\\b": a, then a\\b), each created
// first when missing and createMissing is set: inside the folder just held, so it cannot land
// behind a link. Answers Held, or why it stopped at the first folder it could not hold (Failed:
// no folder, not creatable, or beyond kMaxHeldFolders). path is changed while it works and then
// restored.
enum class FolderHold { Held, Missing, Link, Failed };
FolderHold HoldFolders(char16_t* path, std::uint32_t from, std::uint32_t end, bool createMissing, HeldFolders& held);
// The name that the file system keeps for the last part of path, which exists: Windows also finds
// a file or folder by its short 8.3 name ("QUORVA~1.EXE"; Wine by hashed ones, "QUOR~EN0.EXE") and
// answers the long name it stores. POSIX has no other name for a file: the last part as given,
// without a look at the disk. Its length without the terminator; 0 when nothing is there (Windows),
// path holds a wildcard, or the name does not fit.
std::uint32_t GetStoredName(const char16_t* path, char16_t* name, std::uint32_t capacity);
// The process's current folder as GetCurrentDirectoryW answers: its length without the
// terminator, or the capacity it needs (terminator included) when it does not fit, 0 on failure.
std::uint32_t GetCurrentFolder(char16_t* buffer, std::uint32_t capacity);
