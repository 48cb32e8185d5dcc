#include "app/release_lock.h"

#include <algorithm>

namespace {

// "Local\": the session's namespace, so a release of another user logged on to the same machine
// neither waits for nor blocks this one.
constexpr wchar_t kReleaseLockName[] = L"Local\\Quorvane.ReleaseTool.OneReleaseAtATime";
// Enough to wait for the lock and let it go again; no more is asked, since opening an existing lock
// checks the rights asked for against its access list.
constexpr DWORD kLockRights = SYNCHRONIZE | MUTEX_MODIFY_STATE;
constexpr DWORD kUnopenedPollMs = 250;

}  // namespace

bool TakeReleaseLock(DWORD waitMs, ScopedHandle& lock) {
  const ULONGLONG deadline = GetTickCount64() + waitMs;
  for (;;) {
    lock.Reset(CreateMutexExW(nullptr, kReleaseLockName, 0, kLockRights));
    const ULONGLONG now = GetTickCount64();
    const DWORD left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
    if (lock.IsValid()) {
      const DWORD waited = WaitForSingleObject(lock.Get(), left);
      // Abandoned: the copy that held it ended without letting go (it was killed). The lock is
      // ours; the repair of an interrupted switch takes care of what that copy left.
      if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) return true;
      lock.Reset();
      return false;
    }
    // A lock that exists but cannot be opened: on Windows, the default access list of an elevated
    // copy's lock grants only Administrators and SYSTEM, which an unelevated copy's token does not
    // count as; another program may hold the name too. Either way another release may run: the
    // name is tried again until it is gone (the last handle of the lock closed) or the wait ran out.
    if (left == 0) return false;
    Sleep(std::min(left, kUnopenedPollMs));
  }
}

void ReturnReleaseLock(const ScopedHandle& lock) {
  if (lock.IsValid()) ReleaseMutex(lock.Get());
}
