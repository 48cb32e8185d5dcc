// Unpacks every entry of one ZIP archive file into one folder with the program's own reader.
// Portable: its file calls go through the platform seam, so the same code runs in the release
// tool, in ziptool and in the native tests.
//
// An entry is installed only whole and verified: its bytes go to a temporary file beside the
// target ("<target>.qvtmp"), created new and flushed to the disk, which replaces the target only
// after the reader confirmed the entry's size and CRC-32. An existing file is therefore either the
// old one or the new one, also after a power cut, and no temporary file stays behind. Nothing is
// written through a link: a subfolder that is one is refused, and a target that is one is
// replaced by the moved file, not followed. Entries that are not installed are reported, one report each,
// and do not stop the walk.
#pragma once

#include <cstdint>

// One buffer for every chunk of every entry. The reader still reads at most 16 KiB per block but
// inflates straight into this buffer, so its size sets only how often the file is written: at
// 16 KiB a large payload costs one write per 16 KiB and a tenth of the extraction time; 256 KiB
// brings most files down to one write while the whole process stays under 4 MiB resident.
inline constexpr std::uint32_t kUnzipChunkSize = 262144;
// folder + "\" + name + the temporary suffix, within Windows' MAX_PATH (the terminator included),
// and an entry's folders within the 248 characters that CreateDirectoryW accepts: the release tool
// declares no long-path awareness, and Windows refuses longer paths even where Wine does not.
inline constexpr int kEntryPathCapacity = 260;
inline constexpr int kEntryFolderCapacity = 248;
inline constexpr char16_t kUnzipTemporarySuffix[] = u".qvtmp";

// Why something was not installed: the event of a report.
inline constexpr char kUnzipOpenFailed[] = "Open Failed";              // the archive cannot be read
inline constexpr char kUnzipFolderFailed[] = "Folder Failed";          // a folder could not be created
inline constexpr char kUnzipLinkRefused[] = "Link Refused";            // a folder on its path is a link
inline constexpr char kUnzipUnreadable[] = "Unreadable Entry";         // its records are broken: no name
inline constexpr char kUnzipRefusedName[] = "Refused Name";            // leaves the folder, was cut, ends ".qvtmp"
inline constexpr char kUnzipPathTooLong[] = "Path Too Long";           // beyond Windows' path limit
inline constexpr char kUnzipCreateFailed[] = "Create Failed";          // the temporary file
inline constexpr char kUnzipWriteFailed[] = "Write Failed";            // disk full, for example
inline constexpr char kUnzipDataCorrupt[] = "Data Corrupt";            // CRC-32 or size differ from the directory
inline constexpr char kUnzipPasswordMismatch[] = "Password Mismatch";  // encrypted with another password
inline constexpr char kUnzipReadFailed[] = "Read Failed";              // data unreadable or not inflatable
inline constexpr char kUnzipMoveFailed[] = "Move Failed";              // the target is in use, for example

// Where the reports go: the release log, ziptool's output, a test's list. index is the entry's
// number, or -1 for the archive itself (name: its path) or the target folder (name: the folder);
// name is the entry's name as the reader describes it, empty when it could not be described.
// The call comes right after the failing system call, so the platform's last-error value still
// belongs to it.
struct UnzipReporter {
  void (*report)(void* context, std::int32_t index, const char* event, const char16_t* name) = nullptr;
  void* context = nullptr;
};

// Unpacks archivePath into folder (created when missing, one level). reporter may be null; so
// may password (the release has none: encrypted entries are then reported, not installed).
// Answers true when the archive opened and every entry was installed.
bool UnzipToFolder(const char16_t* archivePath, const char16_t* folder, const UnzipReporter* reporter,
                   const char* password = nullptr);
