// ziptool's four commands over the public reader API. Paths are UTF-16; the password is the
// narrow byte string the archive was encrypted with (null: none). Each answers the exit status:
// 0 success, 1 failure (a line on standard error says why).
#pragma once

#include <cstdint>

// One line per entry: index, attributes, write time (FILETIME), compressed and uncompressed
// size, name (UTF-8), tab-separated; an entry that cannot be described: index, name (when its
// record gives one), "failed 0x%08X: <why>" (an unsupported method or feature, and what to do);
// then "result 0x%08X" with the last ArchiveResult.
int RunList(const char16_t* archivePath, const char* password);
// Unpacks every entry below folder (made with its missing parents) exactly as the release tool
// does; one line per entry that was not written: "<index>\t<name>\tnot written: <event>".
int RunExtract(const char16_t* archivePath, const char16_t* folder, const char* password);
// Writes one entry's bytes to standard output, read in 16,384-byte chunks.
int RunCat(const char16_t* archivePath, std::int32_t index, const char* password);
// Reads every entry whole, as cat does, and keeps nothing; one line per entry that does not read
// whole: "<index>\t<name>\tnot read: <why>". 0 only when every entry did.
int RunTest(const char16_t* archivePath, const char* password);
