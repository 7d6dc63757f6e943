#include "progress_dialog.h"

#include <commctrl.h>

#include <cstdio>

#include "resource.h"
#include "run_log.h"
#include "session.h"
#include "texts.h"

namespace {

constexpr UINT kRefreshPeriodMs = 500;
constexpr size_t kAmountTextLength = 64;
constexpr double kMegabytesPerByte = 1.0 / (1024.0 * 1024.0);  // "MB" of 2^20 bytes

// The session lives in the user slot from WM_INITDIALOG on: a pointer-sized slot in every build.
UpdateSession* SessionOf(HWND dialog) {
    return reinterpret_cast<UpdateSession*>(GetWindowLongPtrW(dialog, DWLP_USER));
}

INT_PTR OnInitDialog(HWND dialog, LPARAM session) {
    SetWindowLongPtrW(dialog, DWLP_USER, session);
    SetWindowTextW(dialog, kCaption);
    SendDlgItemMessageW(dialog, IDC_PROGRESS_BAR, PBM_SETSTEP, 1, 0);
    // No timer procedure: the ticks arrive as WM_TIMER through whichever loop pumps the thread.
    SetTimer(dialog, IDT_REFRESH, kRefreshPeriodMs, nullptr);
    return TRUE;  // the platform focuses the first tab stop, Cancel
}

// IDOK comes from Enter; IDCANCEL from the button, Escape and closing the window. The request
// cannot be withdrawn, and each command is logged, even a repeated one.
INT_PTR OnCommand(HWND dialog, UpdateSession* session, WPARAM wParam) {
    const WORD id = LOWORD(wParam);
    if ((id != IDOK && id != IDCANCEL) || !session) return FALSE;
    session->flags |= kCancelBit;
    EnableWindow(GetDlgItem(dialog, IDCANCEL), FALSE);
    LogLine(kLogUserCancelled);
    return TRUE;
}

// The text is formatted here, twice a second, never per downloaded chunk.
INT_PTR OnTimer(UpdateSession* session) {
    if (!session) return FALSE;
    ShowAmount(session);
    return TRUE;
}

}  // namespace

INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    UpdateSession* session = SessionOf(dialog);
    switch (message) {
    case WM_INITDIALOG:
        return OnInitDialog(dialog, lParam);
    case WM_COMMAND:
        return OnCommand(dialog, session, wParam);
    case WM_TIMER:
        return OnTimer(session);
    case WM_DESTROY:
        KillTimer(dialog, IDT_REFRESH);
        return TRUE;
    default:
        return FALSE;  // WM_CLOSE included: the default handling turns it into IDCANCEL
    }
}

void ShowAmount(UpdateSession* session) {
    wchar_t text[kAmountTextLength];
    FormatAmountText(text, kAmountTextLength, session->doneBytes, session->totalBytes);
    SetDlgItemTextW(session->dialog, IDC_AMOUNT_TEXT, text);
}

void FormatAmountText(wchar_t* buffer, size_t count, int64_t doneBytes, int64_t totalBytes) {
    if (count == 0) return;
    // The C runtime stays in the "C" locale, so the decimal separator is a period whatever the
    // user's regional settings.
    _snwprintf(buffer, count, kAmountFormat, static_cast<double>(doneBytes) * kMegabytesPerByte,
               static_cast<double>(totalBytes) * kMegabytesPerByte);
    buffer[count - 1] = L'\0';  // _snwprintf leaves a cut text unterminated
}
