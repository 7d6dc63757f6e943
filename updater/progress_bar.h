// How often the progress dialog's bar is drawn while bytes arrive.
#pragma once

#include <windows.h>

#include <cstdint>

// Under Wine every step of the themed bar repaints it at once, which costs far more than
// receiving a chunk, or a whole small file. From ThrottleBarDrawing on, each step still counts at
// once (PBM_GETPOS answers the exact position) but reaches the control, and so the screen, at most
// once a draw period, on a timer that the thread's message pump delivers; DrawBarNow draws the
// exact position at once, for a moment when nothing will be pumped for a while.
constexpr UINT kBarDrawPeriodMs = 100;

// A throttled bar's record. A transfer counts its steps straight into it: under Wine even a
// message to a window of the same thread costs more than a chunk's bytes.
struct BarSteps {
    WNDPROC control;  // the progress class's procedure
    int64_t pending;  // steps counted but not yet handed to the control
};

// steps must outlive the bar.
void ThrottleBarDrawing(HWND bar, BarSteps* steps);
inline void CountBarSteps(BarSteps* steps, int count) { steps->pending += count; }
void DrawBarNow(HWND bar);
