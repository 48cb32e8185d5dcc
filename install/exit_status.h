// What the release tool's exit status tells whoever started it (the client's own updater, a
// deployment tool, a login script). The values are an interface: none is ever renumbered. The tool
// never ends with 1 itself: a 1 comes from elsewhere (an abort of the C runtime, see wWinMain).
// Where several outcomes meet, the first of this order wins: 1618, 4, 3, 6, 2, 5, 7.
#pragma once

inline constexpr int kExitReleased = 0;  // the client is installed whole and current, and started
// The client's files stay those of the old version (and it was started): retry later. Archives
// other than the client's may be new already.
inline constexpr int kExitUpdateNotApplied = 2;
inline constexpr int kExitClientStillRunning = 3;  // a client process survived the stop phase: nothing released
inline constexpr int kExitInstallRootRefused = 4;  // no usable install root: nothing written
inline constexpr int kExitClientNotStarted = 5;    // installed, but its program could not be started
inline constexpr int kExitClientMixed = 6;         // the client's folder may mix two versions: not started
// The client is installed whole and current, and started, but another archive of the payload (the
// skins, the drivers) could not be written, and the skin archive may be gone: retry later.
inline constexpr int kExitArchiveNotWritten = 7;
inline constexpr int kExitAnotherRelease = 1618;  // another release still runs (ERROR_INSTALL_ALREADY_RUNNING)
