// The unpack phase of a release: the client's program archive, just written by the payload phase,
// is unpacked into the install root so that the client stands beside it when it is launched.
#pragma once

#include <cstdio>

inline constexpr unsigned kUnpackPauseMs = 100;

// log may be null (no log this run); appData is the user's roaming application-data folder.
// Writes "Quorvane.zip UnZip" first, then one "UnzipToFolder <event> <name>" line for each entry
// that was not installed (or for an archive that could not be opened), then pauses 100 ms.
// False when the update was not applied (cancelled, or the archive could not be opened): the
// folder holds what it held before. Entries only skipped for their name do not count: the update
// is applied without them.
bool UnpackClientArchive(FILE* log, const wchar_t* appData);
// Takes back an interrupted switch of the client's files in the install root (and deletes old
// files that a finished one could not delete yet), with a "UnzipToFolder <event> <root>" line for
// what it did or could not do.
void RepairClientFolder(FILE* log, const wchar_t* appData);
