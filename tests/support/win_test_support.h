// Helpers for tests that run real Windows processes under Wine: they find the build's programs,
// give each case a clean install root, and always end the processes they start.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "platform/scoped_handle.h"

// A program of this build, from its path relative to the build tree ("app/QuorvaneReleaseTool.exe").
// The build tree comes from QUORVANE_BUILD_DIR, which every registered test gets.
std::wstring BuildArtifact(const std::wstring& relativePath);

// The user's roaming application-data folder and the install root below it.
std::wstring AppDataFolder();
std::wstring InstallRoot();
// name's path in the install root.
std::wstring InstalledFile(const std::wstring& name);
// The client archive's files as an independent unzip extracted them: the host folder named by
// QUORVANE_UNZIP_REFERENCE, seen through Wine's Z: drive, and its "files" folder.
std::wstring ReferenceClientFiles();

// Points the user's roaming application-data folder at folder (created first), as a profile of
// that name would have it: both registry values the shell reads. The values found are restored
// when the object goes, so later cases of the prefix find their APPDATA again.
class AppDataOverride {
 public:
  explicit AppDataOverride(const std::wstring& folder);
  ~AppDataOverride();
  AppDataOverride(const AppDataOverride&) = delete;
  AppDataOverride& operator=(const AppDataOverride&) = delete;

 private:
  std::wstring saved_[2];
};

// Deletes a file or a whole folder tree; a missing one is fine. Returns false if something stays
// (a link always does: neither it nor what it leads to is touched).
bool RemoveTree(const std::wstring& path);
// Creates a folder with all missing parents.
bool CreateFolders(const std::wstring& path);
bool PathExists(const std::wstring& path);
bool ReadFileBytes(const std::wstring& path, std::string& bytes);
// The file's bytes, or "<missing>" when it cannot be read (a comparison then fails readably).
std::string Contents(const std::wstring& path);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool CopyFileTo(const std::wstring& from, const std::wstring& to);
// Names of the entries of a folder (not "." or ".."), sorted.
std::vector<std::wstring> ListFolder(const std::wstring& folder);
std::vector<std::string> SplitLines(const std::string& text, const std::string& separator);

// A process started by a test: ended (TerminateProcess) and waited for when it goes out of scope.
class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(ChildProcess&&) = default;
  ChildProcess& operator=(ChildProcess&&) = default;
  ~ChildProcess() { End(); }

  // Starts program with the given command-line arguments (may be empty), on the named desktop of
  // this window station if one is given.
  bool Start(const std::wstring& program, const std::wstring& arguments = L"", const std::wstring& desktop = L"");
  // Waits up to timeoutMs; true when the process has ended. Its exit code is then in exitCode.
  bool Wait(DWORD timeoutMs, DWORD* exitCode = nullptr);
  bool IsRunning() const;
  DWORD Id() const { return id_; }
  HANDLE Handle() const { return process_.Get(); }
  void End();

 private:
  ScopedHandle process_;
  DWORD id_ = 0;
};

// Runs program to its end (at most timeoutMs) and returns its exit code, or -1 on time-out or
// start failure (the process is then ended).
long RunToEnd(const std::wstring& program, DWORD timeoutMs, const std::wstring& arguments = L"");

// Polls until FindWindowW(className) answers a window or timeoutMs passes.
HWND WaitForWindowClass(const wchar_t* className, DWORD timeoutMs);
// Polls until the file exists and no process holds it open for writing, or timeoutMs passes: a
// file that another process creates and then writes is whole only once its writer has closed it.
// (The programs of this suite write their records under another name and rename them into place.)
bool WaitForFile(const std::wstring& path, DWORD timeoutMs);

// One line of the release log. A milestone line reads "YYYY-MM-DD hh:mm:ss.mmm:  message ErrorCode:N"
// and ends in CR LF; any other line (a payload line ends in LF alone) is kept whole as text.
struct ReleaseLogLine {
  bool milestone = false;
  long millisecondOfDay = -1;  // hh:mm:ss.mmm of a milestone line
  std::string text;            // a milestone's message, or the whole other line
  long errorCode = 0;
};
// The lines of the release log at path, in order; false when the file cannot be read.
bool ReadReleaseLog(const std::wstring& path, std::vector<ReleaseLogLine>& lines);

// Ends every process whose executable lies in the install root (a client the release tool launched).
void EndLaunchedClients();

std::string Narrow(const std::wstring& text);  // ANSI code page
std::wstring Widen(const std::string& text);   // ANSI code page
