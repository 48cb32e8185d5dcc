// The payload phase of a release: the old skin archive is deleted and every archive of the
// payload table is written below APPDATA, each with up to ten retries.
#pragma once

#include <cstdio>

#include "deploy/payload_table.h"

inline constexpr int kPayloadRetries = 10;
inline constexpr unsigned kPayloadRetryPauseMs = 100;

// log may be null (no log this run); appData is the user's roaming application-data folder. A row
// whose folder below appData is a link, or whose path would not fit, gets one failed line and no
// attempt. True when every archive of the table was written.
bool ReleasePayload(FILE* log, const wchar_t* appData);

// The walk over a table that ends with a null relative path; ReleasePayload walks PayloadTable.
bool ReleasePayloadRows(FILE* log, const wchar_t* appData, const PayloadEntry* table);
