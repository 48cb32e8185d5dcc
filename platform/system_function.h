// Run-time lookups of system functions that older Windows versions lack, and of system DLLs that
// the tool must not import statically.
#pragma once
#ifdef _WIN32
#include <windows.h>

#include <cwchar>

// A system DLL by its full path in the system folder, never by a name that a search could match in
// the tool's own folder. Windows maps its KnownDLLs from the system folder whatever the search;
// Wine has none and maps a DLL of such a name from beside the program when the program imports it
// statically (seen there with shcore.dll, which shell32 imports). The DLL's own dependencies follow
// the process's DLL search, restricted to the system folder at the start of the program. Null when
// it cannot be loaded; it stays loaded for the rest of the run.
inline HMODULE LoadSystemLibrary(const wchar_t* fileName) {
  wchar_t path[MAX_PATH];
  const UINT length = GetSystemDirectoryW(path, MAX_PATH);
  if (length == 0 || length + 1 + std::wcslen(fileName) >= MAX_PATH) return nullptr;
  path[length] = L'\\';
  std::wcscpy(path + length + 1, fileName);
  return LoadLibraryExW(path, nullptr, 0);
}

// Looks up an export of a loaded system DLL, typed; null when this Windows lacks it.
template <typename Function>
Function LookUpFunction(HMODULE module, const char* name) {
  // Through a plain function pointer type: a direct cast from FARPROC draws a warning.
  return module == nullptr ? nullptr
                           : reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}
#endif
