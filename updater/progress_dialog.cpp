#include "progress_dialog.h"

INT_PTR CALLBACK ProgressDialogProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }
void FormatAmountText(wchar_t* buffer, size_t count, int64_t, int64_t) {
    if (count) buffer[0] = L'\0';
}
