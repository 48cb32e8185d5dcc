// KillProcess leaves its TASKKILL command running; one that ran late could end a process of the
// next test that was given the same id. Waits until every such command has ended.
#pragma once

void WaitForTaskkills();
