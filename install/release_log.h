// The release log: one plain-text file per run, flushed after every line so that a run that is
// killed midway still leaves a readable log. Every writer accepts a null stream (no log this run).
#pragma once

#include <windows.h>

#include <cstdio>

inline constexpr int kLogPrefixCapacity = 64;

// The log of this run replaces the last one: it is created new beside it and moved over it, so an
// old log that is a link (hard or symbolic) to some other file is replaced, never written through.
// Null when it cannot be created or cannot take the old one's place (held open by another program).
FILE* OpenLog(const wchar_t* path);
// The existing log, to add to without replacing it (the log of a release that still runs): only a
// plain file with a single name, written at its end. Null when there is none or it is no such file.
FILE* OpenLogToAppend(const wchar_t* path);
void WriteLog(FILE* stream, const char* message);
void CloseLog(FILE* stream);

// "YYYY-MM-DD hh:mm:ss.mmm: " into a zeroed 64-character buffer.
void FormatLogPrefix(const SYSTEMTIME& time, char (&prefix)[kLogPrefixCapacity]);
