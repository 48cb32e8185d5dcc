// Writes one resource of the running executable to a file. The old file is replaced only by a
// complete copy: the bytes go to a temporary file beside the target, created new, which is moved
// over the target after the whole resource reached the disk. So a target that is a link (hard or
// symbolic) is replaced, never written through. Any failure leaves the target as it was and no
// temporary file behind.
#pragma once

#include <windows.h>

#include "platform/hold_retry.h"

// Suffix of the temporary file that stands beside the target while it is written.
inline constexpr wchar_t kTemporarySuffix[] = L".tmp";

// 1 when every byte of resource resourceId of type resourceType is in targetPath, else 0
// (null arguments, no such resource, an empty one, a target that cannot be replaced).
int ReleaseResFile(int resourceId, const char* resourceType, const wchar_t* targetPath);
// The same, waiting for other programs' holds within holds: the payload phase passes one for all
// its attempts at one archive, so that they share one bound.
int ReleaseResFileWithin(int resourceId, const char* resourceType, const wchar_t* targetPath, HoldRetry& holds);

// The file half of ReleaseResFile, also used for the tool-path file. The write call is a parameter so that a short or
// failed write can be provoked; ReleaseResFile passes WriteFile.
using WriteFileCall = BOOL(WINAPI*)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
int ReplaceFileContents(const wchar_t* targetPath, const void* bytes, DWORD size, WriteFileCall writeCall);

// ReplaceFileContents, and where no replacement can be created beside it (a folder that takes no new
// entries), the same bytes written over the old file in place if it is a plain file
// (OpenPlainFileToRewrite). 1 when every byte is in the file, else 0.
int WriteFileContents(const wchar_t* targetPath, const void* bytes, DWORD size);
