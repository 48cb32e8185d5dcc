// The archives that the release tool carries as resources and where each one goes.
#pragma once

// Only rows of this mode are written by a release; other modes are kept in the table but skipped.
inline constexpr int kReleaseModeOnRelease = 2;

struct PayloadEntry {
  const wchar_t* relativePath;  // below APPDATA, beginning with a backslash; null in the end row
  const char* resourceType;     // resource type given by name
  int resourceId;               // used as a 16-bit resource number
  int releaseMode;
  const char* description;  // not used by the release
};

// The rows in the order they are written, followed by an end row whose relative path is null.
extern const PayloadEntry PayloadTable[];
