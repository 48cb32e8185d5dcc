#pragma once

// The whole release: close request, phases, tool-path file, launch, log. Ends the process with
// exit code 0 and never returns.
[[noreturn]] void OnReleaseFile();
