// Running the built release tool in a clean install root and reading back what it left.
#pragma once

#include <string>
#include <vector>

#include "tests/support/win_test_support.h"

std::wstring ReleaseToolPath();
// The built sample client programs ("QuorvaneSoftware.exe", "QelSoftClient.exe").
std::wstring SampleClientPath(const std::wstring& exeName);

// Removes APPDATA\Quorvane entirely; with createRoot, creates an empty install root again.
void ResetInstall(bool createRoot);

// Starts the sample client from a folder of its own in the temporary folder, where the stop phase
// finds it as it finds an installed one (its path ends in "QuorvaneSoftware.exe"), and waits for
// its window; false when it does not come up.
bool StartRunningClient(ChildProcess& client);

// Runs the tool to its end; its exit code, or -1 when it did not end within two minutes.
long RunReleaseTool();

struct ReleaseLog {
  bool exists = false;
  std::vector<std::string> messages;      // milestone messages, in order
  std::vector<std::string> payloadLines;  // payload lines without their LF, in order
  std::vector<std::string> malformed;     // lines of neither format
};
ReleaseLog ReadReleaseLog();
