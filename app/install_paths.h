// Paths below the install root (APPDATA\Quorvane\Software). A path that does not fit its buffer
// is never cut: the builders answer false and leave an empty text, so nothing is ever written
// under a truncated path.
#pragma once

#include "app/release_names.h"

// The user's roaming application-data folder; false (and "") when the shell cannot give it.
bool GetAppDataPath(char (&appData)[kPathCapacity]);

// True when every fixed path of the install fits 260 characters for this APPDATA (the longest is
// the client executable's), so the phases may build theirs without cutting.
bool InstallPathsFit(const char* appData);

// "APPDATA\Quorvane\Software\fileName" (fileName null: the install root itself).
bool BuildInstallPath(char* path, int capacity, const char* appData, const char* fileName);
bool BuildInstallPathW(wchar_t (&path)[kPathCapacity], const char* appData, const char* fileName);
