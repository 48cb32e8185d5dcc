#include "deploy/resource_writer.h"

#include <cwchar>

#include "install/install_paths.h"
#include "install/release_names.h"
#include "platform/hold_retry.h"
#include "platform/scoped_handle.h"

namespace {

// The resource's bytes in the loaded image; false when it is missing or empty.
bool FindOwnResource(int resourceId, const char* resourceType, const void** bytes, DWORD* size) {
  HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(resourceId), resourceType);
  if (found == nullptr) return false;
  *size = SizeofResource(nullptr, found);
  HGLOBAL loaded = LoadResource(nullptr, found);
  *bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
  return *size > 0 && *bytes != nullptr;
}

// A target that another process holds open without delete sharing cannot be replaced; finding
// that out first spares writing the whole archive only to throw it away.
// The probe opens a link itself, which is what the move replaces, not what it leads to.
bool TargetIsLockedByOthers(const wchar_t* targetPath) {
  ScopedHandle probe(CreateFileW(targetPath, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  return !probe.IsValid() && GetLastError() == ERROR_SHARING_VIOLATION;
}

enum class Replacement { Done, NoTemporary, Failed };

const char16_t* Portable(const wchar_t* path) { return reinterpret_cast<const char16_t*>(path); }

// holds: the waiting for other programs' holds on this file, shared by every call on it (and by
// every attempt at one archive), so that one file costs one bound however often it is tried.
Replacement Replace(const wchar_t* targetPath, const void* bytes, DWORD size, WriteFileCall writeCall,
                    HoldRetry& holds) {
  if (std::wcslen(targetPath) + std::wcslen(kTemporarySuffix) >= kPathCapacity) return Replacement::Failed;
  wchar_t temporaryPath[kPathCapacity];
  wsprintfW(temporaryPath, L"%s%s", targetPath, kTemporarySuffix);

  // One that a crashed run left goes first: a link of that name is removed, not followed. A scanner
  // may still hold the one an earlier attempt left: that is waited out, as the move below.
  const char16_t* temporaryName = Portable(temporaryPath);
  RetryFileWhileHeld(temporaryName, holds, [&] { return DeleteFileW(temporaryPath) != FALSE; });
  // Shared for delete only: the move below opens it for delete while this handle still holds it,
  // and no other process can read a half-written archive or write into ours meanwhile. A scanner
  // still reading an earlier attempt's file (delete pending) refuses the new one for a moment.
  ScopedHandle temporary;
  if (!RetryFileWhileHeld(temporaryName, holds, [&] {
        temporary.Reset(CreateFileW(temporaryPath, GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        return temporary.IsValid();
      }))
    return Replacement::NoTemporary;

  DWORD written = 0;
  // Flushed before the move, so that a crash can never leave the new name on missing bytes.
  const bool complete = writeCall(temporary.Get(), bytes, size, &written, nullptr) && written == size &&
                        FlushFileBuffers(temporary.Get());
  // A scanner opens the new file as soon as it is written; the move waits until it lets go.
  if (complete && RetryFileWhileHeld(Portable(targetPath), holds, [&] {
        return MoveFileExW(temporaryPath, targetPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
      }))
    return Replacement::Done;
  // Still open with delete sharing: the file goes away when the handle closes.
  RetryFileWhileHeld(temporaryName, holds, [&] { return DeleteFileW(temporaryPath) != FALSE; });
  return Replacement::Failed;
}

}  // namespace

int ReplaceFileContents(const wchar_t* targetPath, const void* bytes, DWORD size, WriteFileCall writeCall) {
  HoldRetry holds;
  return Replace(targetPath, bytes, size, writeCall, holds) == Replacement::Done;
}

int WriteFileContents(const wchar_t* targetPath, const void* bytes, DWORD size) {
  HoldRetry holds;
  const Replacement replacement = Replace(targetPath, bytes, size, WriteFile, holds);
  if (replacement != Replacement::NoTemporary) return replacement == Replacement::Done;
  // Only where the folder took no new entry: after a failed write or move (a full disk, a held
  // file) the old file is worth more than an emptied one.
  ScopedHandle file(OpenPlainFileToRewrite(targetPath, 0));
  DWORD written = 0;
  return file.IsValid() && WriteFile(file.Get(), bytes, size, &written, nullptr) && written == size &&
         FlushFileBuffers(file.Get());
}

int ReleaseResFile(int resourceId, const char* resourceType, const wchar_t* targetPath) {
  HoldRetry holds;
  return ReleaseResFileWithin(resourceId, resourceType, targetPath, holds);
}

int ReleaseResFileWithin(int resourceId, const char* resourceType, const wchar_t* targetPath, HoldRetry& holds) {
  if (resourceType == nullptr || targetPath == nullptr) return 0;
  const void* bytes = nullptr;
  DWORD size = 0;
  if (!FindOwnResource(resourceId, resourceType, &bytes, &size)) return 0;
  if (TargetIsLockedByOthers(targetPath)) return 0;
  return Replace(targetPath, bytes, size, WriteFile, holds) == Replacement::Done;
}
