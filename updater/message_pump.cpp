#include "message_pump.h"

#include "session.h"

namespace {

LONGLONG Now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

// The counter's frequency is fixed at boot.
LONGLONG PumpPeriodCounts() {
    static const LONGLONG counts = [] {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        return frequency.QuadPart * kPumpPeriodMs / 1000;
    }();
    return counts;
}

}  // namespace

bool PumpMessages(UpdateSession* session) {
    session->nextPump = Now() + PumpPeriodCounts();
    bool quit = false;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            session->flags |= kCancelBit;
            quit = true;
        }
        // Read again for every message: a window procedure may have destroyed the dialog.
        HWND dialog = session->dialog;
        if (dialog && IsDialogMessageW(dialog, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return !quit && !(session->flags & kCancelBit);
}

bool PumpMessagesWhenDue(UpdateSession* session) {
    if (Now() < session->nextPump) return !(session->flags & kCancelBit);
    return PumpMessages(session);
}

WaitResult WaitPumping(UpdateSession* session, HANDLE event, DWORD milliseconds, bool pump) {
    const DWORD start = GetTickCount();
    for (;;) {
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= milliseconds) return WaitResult::kTimedOut;
        const DWORD left = milliseconds - elapsed;
        // MWMO_INPUTAVAILABLE: also wake for messages that arrived before the wait began.
        const DWORD woken = pump ? MsgWaitForMultipleObjectsEx(1, &event, left, QS_ALLINPUT, MWMO_INPUTAVAILABLE)
                                 : WaitForSingleObject(event, left);
        if (woken == WAIT_OBJECT_0) return WaitResult::kSignalled;
        if (woken == WAIT_OBJECT_0 + 1) {
            if (!PumpMessages(session)) return WaitResult::kCancelled;
            continue;
        }
        if (woken != WAIT_TIMEOUT) return WaitResult::kTimedOut;  // WAIT_FAILED: give up, as on a time-out
    }
}
