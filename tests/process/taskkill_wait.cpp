#include "tests/process/taskkill_wait.h"

#include "platform/scoped_handle.h"
#include "process/process_finder.h"

void WaitForTaskkills() {
  for (int i = 0; i < 100; ++i) {
    ScopedHandle taskkill = FindProcessByName("\\taskkill.exe");
    if (!taskkill.IsValid()) return;
    WaitForSingleObject(taskkill.Get(), 10000);
  }
}
