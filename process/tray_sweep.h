// Clearing notification-area icons left behind by processes that were ended by force.
#pragma once

#include <windows.h>

// Makes the process per-monitor DPI aware, once, at the start of the program. Without it Windows
// hands an unaware process the shell's toolbar rectangles scaled down at 125 to 200 % display
// scaling, while the sweep's mouse moves reach the toolbar unscaled: the row would end short of
// the icons at the right. The manifest holds only the trust information, so this is done at run
// time, with the best call this Windows has.
void DeclareDpiAwareness();

// Moves a virtual pointer across the shell's notification toolbars (the taskbar's, then the
// overflow window's) so that the shell drops the icons whose owner window is gone. Reports nothing.
void RefreshTrayIcons();

// Sends one row of mouse moves, x = 1 to width - 1 at half the height, to one toolbar. The row
// stops early only when the shell does not answer a move in time (see tray_sweep.cpp).
void SweepToolbar(HWND toolbar);
