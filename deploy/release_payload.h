// The payload phase of a release: the old skin archive is deleted and every archive of the
// payload table is written below APPDATA, each with up to ten retries.
#pragma once

#include <cstdio>

#include "deploy/payload_table.h"

// The pauses between the tries grow as for every file the release writes (hold_retry.h): an
// archive that a scanner holds for a moment is written once it lets go, within about 6.5 s.
inline constexpr int kPayloadRetries = 10;

// log may be null (no log this run); appData is the user's roaming application-data folder. A row
// whose folder below appData is a link, or whose path would not fit, gets one failed line and no
// attempt. True when every archive of the table was written; *clientArchiveWritten (when given)
// says whether the client's own archive was, which decides whether the unpack installs a new client.
bool ReleasePayload(FILE* log, const wchar_t* appData, bool* clientArchiveWritten = nullptr);

// The walk over a table that ends with a null relative path; ReleasePayload walks PayloadTable.
bool ReleasePayloadRows(FILE* log, const wchar_t* appData, const PayloadEntry* table,
                        bool* clientArchiveWritten = nullptr);
