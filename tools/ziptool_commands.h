// ziptool's four commands over the public reader API. Paths are UTF-16; the password is the
// narrow byte string the archive was encrypted with (null: none). Each answers the exit status:
// 0 success, 1 failure (a line on standard error says why). Entries that fail are named with the
// events of the release's folder extraction (deploy/unzip_report.h), so that every command and the
// release's log say one thing for one fault.
#pragma once

#include <cstdint>

// A header line, then one line per entry: index, attributes, write time (local, "2024-05-01
// 13:45:10", "-" for none), compressed and uncompressed size, name (UTF-8) and, when there is
// something to say, remarks: 'stored as "<name>"' when the reader cleaned the stored name, then
// "refused: <event>: <why>" when the release would refuse the entry for its name. An entry that
// cannot be described: index, four "-", its name (when its record gives one), "Unreadable Entry:
// <why>" (an unsupported method or feature and what to do, or broken records).
int RunList(const char16_t* archivePath, const char* password);
// Unpacks every entry below folder (made with its missing parents) exactly as the release tool
// does; one line per entry that was not written, "<index>\t<name>\tnot written: <event>[: <why>]",
// and one per file installed after another program held it, "<index>\t<name>\tinstalled after a
// hold" (not a failure).
int RunExtract(const char16_t* archivePath, const char16_t* folder, const char* password);
// Writes one entry's bytes to standard output, read in 16,384-byte chunks.
int RunCat(const char16_t* archivePath, std::int32_t index, const char* password);
// Reads every entry whole, as cat does, and keeps nothing; one line per entry that does not read
// whole: "<index>\t<name>\tnot read: <event>[: <why>]". 0 only when every entry did.
int RunTest(const char16_t* archivePath, const char* password);
