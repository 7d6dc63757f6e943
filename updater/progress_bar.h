// How often the progress dialog's bar is drawn while bytes arrive.
#pragma once

#include <windows.h>

// Under Wine every step of the themed bar repaints it at once, which costs far more than
// receiving a chunk, or a whole small file. From ThrottleBarDrawing on, each step still counts at
// once (PBM_GETPOS answers the exact position) but reaches the control, and so the screen, at most
// once a draw period, on a timer that the thread's message pump delivers; DrawBarNow draws the
// exact position at once, for a moment when nothing will be pumped for a while.
constexpr UINT kBarDrawPeriodMs = 100;

void ThrottleBarDrawing(HWND bar);
void DrawBarNow(HWND bar);
