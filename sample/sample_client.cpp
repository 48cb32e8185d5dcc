// A stand-in for the desktop client: the release tool stops it, replaces its files and starts it
// again, so this program does only what the release tool relies on. It keeps one hidden top-level
// window of its class (a message-only window would be invisible to FindWindowW) and ends with exit
// code 0 when that window receives the close request 0x0658 with wParam 0 and lParam 0.
//
// Records, so that a test can prove what happened: beside its own executable it writes
// "<exe base name>.started" once its window exists, and "<exe base name>.closed" when the close
// request arrives, just before it exits (e.g. "QuorvaneSoftware.started"). Each record is UTF-8
// text of three lines ending in CR LF: the decimal process id, the full path of the executable,
// and the folder it was started in (its working folder).
// A record is replaced on every start, whole: it is written under a temporary name beside it and
// then renamed into place, so a reader that finds it finds all three lines. A failure to write it
// does not stop the program.
//
// Built twice: as QuorvaneSoftware.exe (class "Qel_Rw_Soft_UI") and, with
// QUORVANE_SAMPLE_SECOND_CLIENT defined, as QelSoftClient.exe (class "Qel_Rw_Tolu_UI").
#include <windows.h>

#include "platform/scoped_handle.h"

namespace {

// The client's own copies of the names: a test that finds them proves the release tool agrees.
#ifdef QUORVANE_SAMPLE_SECOND_CLIENT
constexpr wchar_t kWindowClass[] = L"Qel_Rw_Tolu_UI";
#else
constexpr wchar_t kWindowClass[] = L"Qel_Rw_Soft_UI";
#endif

constexpr UINT kCloseRequestMessage = WM_USER + 600;  // 0x0658
constexpr DWORD kLongPathCapacity = 32768;            // the longest path Windows hands back
constexpr DWORD kSuffixCapacity = 16;
constexpr DWORD kPartialSuffixCapacity = 16;  // ".4294967295.part"
constexpr int kReplaceAttempts = 250;         // 5 s in all
constexpr DWORD kReplacePauseMs = 20;

// Fills record with the executable's path, its extension replaced by suffix
// ("C:\dir\QuorvaneSoftware.exe" -> "C:\dir\QuorvaneSoftware.started"); the executable's own path
// goes to executable. False when the path does not fit.
bool RecordPath(const wchar_t* suffix, wchar_t* executable, wchar_t* record) {
  const DWORD length = GetModuleFileNameW(nullptr, executable, kLongPathCapacity);
  if (length == 0 || length >= kLongPathCapacity - kSuffixCapacity) return false;
  lstrcpyW(record, executable);
  wchar_t* extension = nullptr;
  for (wchar_t* at = record; *at != L'\0'; ++at) {
    if (*at == L'.') extension = at;
    if (*at == L'\\' || *at == L'/') extension = nullptr;  // a dot in a folder name is not one
  }
  lstrcpyW(extension != nullptr ? extension : record + length, suffix);
  return true;
}

// Appends text as UTF-8 and CR LF to content, which holds length bytes; false when it does not fit.
bool AppendLine(char* content, int capacity, int& length, const wchar_t* text) {
  const int textLength =
      WideCharToMultiByte(CP_UTF8, 0, text, -1, content + length, capacity - length - 2, nullptr, nullptr);
  if (textLength <= 0) return false;
  length += textLength - 1;  // the converted terminator is not part of the record
  content[length++] = '\r';
  content[length++] = '\n';
  return true;
}

// record + ".<process id>.part": each process writes its own, so two clients that start side by
// side never write into one file.
void PartialPath(const wchar_t* record, wchar_t* partial) {
  wchar_t digits[16];
  int count = 0;
  for (DWORD id = GetCurrentProcessId(); id != 0 || count == 0; id /= 10) digits[count++] = wchar_t(L'0' + id % 10);
  lstrcpyW(partial, record);
  wchar_t* at = partial + lstrlenW(partial);
  *at++ = L'.';
  while (count > 0) *at++ = digits[--count];
  lstrcpyW(at, L".part");
}

bool WriteWholeFile(const wchar_t* path, const char* content, DWORD length) {
  ScopedHandle file(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return file.IsValid() && WriteFile(file.Get(), content, length, &written, nullptr) && written == length;
}

// Windows refuses to replace a file that another process has open, even one that shares deletion:
// a test reading the earlier record holds it for a moment, so the rename is tried again for a while.
bool ReplaceWithPartial(const wchar_t* partial, const wchar_t* record) {
  for (int attempt = 0; attempt < kReplaceAttempts; ++attempt) {
    if (MoveFileExW(partial, record, MOVEFILE_REPLACE_EXISTING)) return true;
    const DWORD error = GetLastError();
    if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) return false;
    Sleep(kReplacePauseMs);
  }
  return false;
}

// The record: "<process id>\r\n<executable path>\r\n<working folder>\r\n" in UTF-8.
void WriteRecord(const wchar_t* suffix) {
  static wchar_t executable[kLongPathCapacity];
  static wchar_t record[kLongPathCapacity];
  static wchar_t workingFolder[kLongPathCapacity];
  static char content[kLongPathCapacity * 6 + 32];  // UTF-8 needs at most 3 bytes per UTF-16 unit
  if (!RecordPath(suffix, executable, record)) return;
  const DWORD folderLength = GetCurrentDirectoryW(kLongPathCapacity, workingFolder);
  if (folderLength == 0 || folderLength >= kLongPathCapacity) return;
  int length = wsprintfA(content, "%lu\r\n", GetCurrentProcessId());
  if (!AppendLine(content, sizeof content, length, executable) ||
      !AppendLine(content, sizeof content, length, workingFolder))
    return;
  static wchar_t partial[kLongPathCapacity + kPartialSuffixCapacity];
  PartialPath(record, partial);
  if (!WriteWholeFile(partial, content, static_cast<DWORD>(length)) || !ReplaceWithPartial(partial, record))
    DeleteFileW(partial);
}

LRESULT CALLBACK ClientWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  // Only the exact request closes the client; the same number with other parameters is not it.
  if (message == kCloseRequestMessage && wParam == 0 && lParam == 0) {
    WriteRecord(L".closed");
    DestroyWindow(window);
    return 0;
  }
  if (message == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  WNDCLASSEXW windowClass = {};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = ClientWindowProc;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = kWindowClass;
  if (!RegisterClassExW(&windowClass)) return 1;

  // Never shown: the window exists only to be found by its class and to receive the request.
  HWND window = CreateWindowExW(0, kWindowClass, L"", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
  if (window == nullptr) return 1;
  WriteRecord(L".started");

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}
