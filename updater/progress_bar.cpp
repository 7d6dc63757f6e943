#include "progress_bar.h"

#include <commctrl.h>

#include <algorithm>

#include "resource.h"

namespace {

// The bar's record is in its user slot from its throttling on, until the window goes.
BarSteps* StateOf(HWND bar) { return reinterpret_cast<BarSteps*>(GetWindowLongPtrW(bar, GWLP_USERDATA)); }

LRESULT AskControl(HWND bar, const BarSteps* state, UINT message, WPARAM wParam = 0) {
    return CallWindowProcW(state->control, bar, message, wParam, 0);
}

// Where the control would be had it taken every step itself: its position plus the pending
// steps, within its range.
int Position(HWND bar, const BarSteps* state) {
    const int64_t low = static_cast<int>(AskControl(bar, state, PBM_GETRANGE, TRUE));
    const int64_t high = static_cast<int>(AskControl(bar, state, PBM_GETRANGE, FALSE));
    const int64_t position = static_cast<int>(AskControl(bar, state, PBM_GETPOS)) + state->pending;
    return static_cast<int>(std::min(std::max(position, low), high));
}

// Hands the pending steps to the control as one move, which it draws at once, as it draws a step.
void Flush(HWND bar, BarSteps* state) {
    if (!state->pending) return;
    const int position = Position(bar, state);
    state->pending = 0;
    AskControl(bar, state, PBM_SETPOS, static_cast<WPARAM>(position));
}

LRESULT CALLBACK ThrottledBarProc(HWND bar, UINT message, WPARAM wParam, LPARAM lParam) {
    BarSteps* state = StateOf(bar);
    switch (message) {
    case PBM_DELTAPOS: {
        const int previous = Position(bar, state);
        state->pending += static_cast<int>(wParam);
        return previous;
    }
    case PBM_GETPOS:
        return Position(bar, state);
    case PBM_SETPOS:
    case PBM_SETRANGE:
    case PBM_SETRANGE32:
    case PBM_STEPIT:
        Flush(bar, state);  // the control's own arithmetic goes on from the exact position
        break;
    case WM_NCDESTROY: {
        const WNDPROC control = state->control;
        SetWindowLongPtrW(bar, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(control));
        SetWindowLongPtrW(bar, GWLP_USERDATA, 0);
        return CallWindowProcW(control, bar, message, wParam, lParam);
    }
    }
    return CallWindowProcW(state->control, bar, message, wParam, lParam);
}

// A timer procedure: its ticks reach neither the control nor the dialog procedure.
void CALLBACK OnDrawTimer(HWND bar, UINT, UINT_PTR, DWORD) {
    if (BarSteps* state = StateOf(bar)) Flush(bar, state);
}

}  // namespace

void ThrottleBarDrawing(HWND bar, BarSteps* steps) {
    if (StateOf(bar)) return;
    *steps = {reinterpret_cast<WNDPROC>(GetWindowLongPtrW(bar, GWLP_WNDPROC)), 0};
    SetWindowLongPtrW(bar, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(steps));
    SetWindowLongPtrW(bar, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ThrottledBarProc));
    // Delivered by whichever loop pumps the thread's messages; it ends with the window.
    SetTimer(bar, IDT_BAR_DRAW, kBarDrawPeriodMs, OnDrawTimer);
}

void DrawBarNow(HWND bar) {
    if (BarSteps* state = StateOf(bar)) Flush(bar, state);
}
