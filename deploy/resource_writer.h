// Writes one resource of the running executable to a file. The old file is replaced only by a
// complete copy: the bytes go to a temporary file beside the target, which is moved over the
// target after the whole resource reached it. Any failure leaves the target as it was and no
// temporary file behind.
#pragma once

#include <windows.h>

// Suffix of the temporary file that stands beside the target while it is written.
inline constexpr char kTemporarySuffix[] = ".tmp";

// 1 when every byte of resource resourceId of type resourceType is in targetPath, else 0
// (null arguments, no such resource, an empty one, a target that cannot be replaced).
int ReleaseResFile(int resourceId, const char* resourceType, const char* targetPath);

// The file half of ReleaseResFile. The write call is a parameter so that a short or failed write
// can be provoked; ReleaseResFile passes WriteFile.
using WriteFileCall = BOOL(WINAPI*)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
int ReplaceFileContents(const char* targetPath, const void* bytes, DWORD size, WriteFileCall writeCall);
