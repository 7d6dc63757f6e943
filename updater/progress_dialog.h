// The modeless progress dialog: status line, bar in KiB, amount line, Cancel.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

struct UpdateSession;

INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Writes the session's byte counts into the amount line at once, as each timer tick does.
void ShowAmount(UpdateSession* session);

// "%.2f MB of %.2f MB" (MB = 2^20 bytes), always with a period as decimal separator.
void FormatAmountText(wchar_t* buffer, size_t count, int64_t doneBytes, int64_t totalBytes);
