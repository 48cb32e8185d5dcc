// The file and folder calls of the portable code (the ZIP reader and the folder extraction).
// Paths are UTF-16 on every host; on POSIX hosts "\" counts as a separator and the path is
// handed to the system as UTF-8. Results follow the Win32 calls they stand for: false (or an
// invalid file) on failure, nothing thrown.
#pragma once

#include <cstdint>

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
inline constexpr std::uint32_t kInvalidAttributes = 0xFFFFFFFF;

enum class SeekOrigin { Start, Current, End };

// Either separator, on every host.
inline bool IsPathSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

// Existing file, read access, others may read too.
PlatformFile OpenFileForReading(const char16_t* path);
// Created or truncated, write access, no sharing, with the given attribute bits.
PlatformFile CreateFileForWriting(const char16_t* path, std::uint32_t attributes);
void ClosePlatformFile(PlatformFile file);

// Reads up to size bytes; fewer only at the end of the file. False on a read error.
bool ReadFromFile(PlatformFile file, void* buffer, std::uint32_t size, std::uint32_t* bytesRead);
// False unless every byte was written.
bool WriteToFile(PlatformFile file, const void* data, std::uint32_t size);
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
// Creates every missing folder of path[0, end), from position from on: path[0, from) exists or is
// not ours to create ("C:\", "\\server\share\"). True when path[0, end) is a folder afterwards
// (an empty one is the current folder). path is changed while it works and then restored.
bool CreateMissingFolders(char16_t* path, std::uint32_t from, std::uint32_t end);
// The process's current folder as GetCurrentDirectoryW answers: its length without the
// terminator, or the capacity it needs (terminator included) when it does not fit, 0 on failure.
std::uint32_t GetCurrentFolder(char16_t* buffer, std::uint32_t capacity);

// Closes the file it holds when it goes out of scope.
struct PlatformFileTraits {
  using Value = PlatformFile;
  static PlatformFile Empty() { return InvalidPlatformFile(); }
  static bool IsHeld(PlatformFile file) { return IsValidPlatformFile(file); }
  static void Close(PlatformFile file) { ClosePlatformFile(file); }
};
using ScopedPlatformFile = ScopedOwner<PlatformFileTraits>;
