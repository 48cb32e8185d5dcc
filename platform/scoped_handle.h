// Single owners for Win32 handles: every CloseHandle of the product happens here.
#pragma once
#ifdef _WIN32
#include <windows.h>

#include "platform/scoped_owner.h"

// A kernel handle is empty when null or INVALID_HANDLE_VALUE (both occur: OpenProcess answers
// null, CreateFile answers INVALID_HANDLE_VALUE).
struct KernelHandleTraits {
  using Value = HANDLE;
  static HANDLE Empty() { return nullptr; }
  static bool IsHeld(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
  static void Close(HANDLE handle) { CloseHandle(handle); }
};
using ScopedHandle = ScopedOwner<KernelHandleTraits>;
#endif
