// Clearing notification-area icons left behind by processes that were ended by force.
#pragma once

#include <windows.h>

// Moves a virtual pointer across the shell's notification toolbars (the taskbar's, then the
// overflow window's) so that the shell drops the icons whose owner window is gone. Reports nothing.
void RefreshTrayIcons();

// Sends one row of mouse moves, x = 1 to width - 1 at half the height, to one toolbar. The row
// stops early only when the shell does not answer a move in time (see tray_sweep.cpp).
void SweepToolbar(HWND toolbar);
