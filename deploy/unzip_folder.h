// Unpacks every entry of one ZIP archive file into one folder with the program's own reader.
// Portable: its file calls go through the platform seam, so the same code runs in the release
// tool, in ziptool and in the native tests.
//
// An update is all or nothing: every file entry is first staged beside its target
// ("<target>.qvtmp", created new, its size and CRC-32 confirmed by the reader), touching no file of
// the folder; only when every file is staged, and on the disk, do the staged files replace their
// targets, all of them or none (see folder_switch.h). An entry that cannot be staged (damaged
// data, a full disk, a folder that cannot be made, a path too long) cancels the update: the folder
// stays exactly as it was. Entries refused for their name (one that would leave the folder, is
// no UTF-8, is reserved, names the same file on Windows as an earlier entry, or lies below a link)
// never exist in the folder and are only skipped. Nothing is written through a link. Every entry
// that is not installed is reported, one report each; the walk visits every entry.
#pragma once

#include <cstdint>

#include "deploy/entry_names.h"
#include "deploy/unzip_report.h"

// One buffer for every chunk of every entry. The reader still reads at most 16 KiB per block but
// inflates straight into this buffer, so its size sets only how often the file is written: at
// 16 KiB a large payload costs one write per 16 KiB and a tenth of the extraction time; 256 KiB
// brings most files down to one write while the whole process stays under 4 MiB resident.
inline constexpr std::uint32_t kUnzipChunkSize = 262144;

// Unpacks archivePath into folder (created when missing, one level). reporter may be null; so
// may password (the release has none: encrypted entries are then reported, not installed).
// An interrupted switch that a crash left in folder is taken back first. Answers true when the
// archive opened and every entry was installed.
bool UnzipToFolder(const char16_t* archivePath, const char16_t* folder, const UnzipReporter* reporter,
                   const char* password = nullptr);
