// Stands in for an on-access scanner: every file that appears below a folder, under a name it did
// not have a moment before (created, or renamed into it), is opened for reading with read and
// write sharing but not delete sharing and held for a while, as real-time scanners hold files
// just written. Meanwhile a rename or delete of it fails with a sharing violation, as on Windows.
// Usage: scanner_stand_in FOLDER HOLD_MS READY_FILE. READY_FILE is written once the first look at
// the folder is done; the program runs until it is ended.
#include <windows.h>

#include <cwchar>
#include <iterator>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/scoped_handle.h"

namespace {

struct HeldFile {
  ScopedHandle handle;
  ULONGLONG until;
};

void ListFiles(const std::wstring& folder, std::set<std::wstring>* files) {
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
      ListFiles(folder + L"\\" + name, files);
    else
      files->insert(folder + L"\\" + name);
  } while (FindNextFileW(search, &data));
  FindClose(search);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) return 2;
  const std::wstring folder = argv[1];
  const ULONGLONG holdMs = std::wcstoul(argv[2], nullptr, 10);
  std::set<std::wstring> seen;
  ListFiles(folder, &seen);
  // An empty marker: only its existence counts.
  if (!ScopedHandle(CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr))
           .IsValid())
    return 1;

  std::vector<HeldFile> held;
  for (;;) {
    std::set<std::wstring> now;
    ListFiles(folder, &now);
    const ULONGLONG tick = GetTickCount64();
    for (const std::wstring& path : now) {
      if (seen.count(path) != 0) continue;
      // A file still being written (opened without read sharing) is taken once its writer lets go.
      ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
      if (file.IsValid()) {
        held.push_back({std::move(file), tick + holdMs});
        seen.insert(path);
      }
    }
    for (auto it = seen.begin(); it != seen.end();) it = now.count(*it) != 0 ? std::next(it) : seen.erase(it);
    for (auto it = held.begin(); it != held.end();) it = it->until > tick ? std::next(it) : held.erase(it);
    Sleep(5);
  }
}
