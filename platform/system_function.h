// Run-time lookups of system functions that older Windows versions lack.
#pragma once
#ifdef _WIN32
#include <windows.h>

// Looks up an export of a loaded system DLL, typed; null when this Windows lacks it.
template <typename Function>
Function LookUpFunction(HMODULE module, const char* name) {
  // Through a plain function pointer type: a direct cast from FARPROC draws a warning.
  return module == nullptr ? nullptr
                           : reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}
#endif
