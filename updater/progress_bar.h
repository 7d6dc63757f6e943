// How often the progress dialog's bar is drawn while bytes arrive.
#pragma once

#include <windows.h>

// Under Wine every step of the themed bar repaints it at once, which costs far more than
// receiving the chunk. From ThrottleBarDrawing on, each step still counts at once (PBM_GETPOS
// answers the exact position) but reaches the control, and so the screen, at most ten times a
// second; DrawBarNow draws the exact position and ends the throttling.
void ThrottleBarDrawing(HWND bar);
void DrawBarNow(HWND bar);
