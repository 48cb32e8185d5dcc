#include "tests/release/release_run.h"

#include <regex>

#include "tests/support/win_test_support.h"

std::wstring ReleaseToolPath() { return BuildArtifact(L"app/QuorvaneReleaseTool.exe"); }

std::wstring SampleClientPath(const std::wstring& exeName) { return BuildArtifact(L"sample/" + exeName); }

void ResetInstall(bool createRoot) {
  EndLaunchedClients();
  RemoveTree(AppDataFolder() + L"\\Quorvane");
  if (createRoot) CreateFolders(InstallRoot());
}

bool StartRunningClient(ChildProcess& client) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring folder = std::wstring(temp) + L"qv_running_client";
  const std::wstring program = folder + L"\\QuorvaneSoftware.exe";
  if (!PathExists(program) &&
      !(CreateFolders(folder) && CopyFileTo(SampleClientPath(L"QuorvaneSoftware.exe"), program)))
    return false;
  return client.Start(program) && WaitForWindowClass(L"Qel_Rw_Soft_UI", 20000) != nullptr;
}

// A run waits out files that other programs hold, up to 10 s for each: a journal held all along is
// waited for by the repair, the unpack and the check before the launch.
long RunReleaseTool() { return RunToEnd(ReleaseToolPath(), 120000); }

ReleaseLog ReadReleaseLog() {
  ReleaseLog log;
  std::string bytes;
  log.exists = ReadFileBytes(InstallRoot() + L"\\ReleaseToolLog.txt", bytes);
  static const std::regex milestone("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}:  (.+) ErrorCode:-?\\d+\r");
  static const std::regex payload("ReleaseResFile ret = [01] iReCount = \\d+  .+");
  std::smatch match;
  for (const std::string& line : SplitLines(bytes, "\n")) {
    if (std::regex_match(line, match, milestone))
      log.messages.push_back(match[1]);
    else if (std::regex_match(line, payload))
      log.payloadLines.push_back(line);
    else
      log.malformed.push_back(line);
  }
  return log;
}
