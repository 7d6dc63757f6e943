// The modeless progress dialog: status line, bar in KiB, amount line, Cancel.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// While bytes arrive the bar is drawn at most ten times a second: under Wine every step repaints
// the themed bar at once, which costs far more than receiving the chunk. The bar keeps its exact
// position all along; DrawBarNow draws it there and ends the throttling.
void ThrottleBarDrawing(HWND dialog);
void DrawBarNow(HWND dialog);

// "%.2f MB of %.2f MB" (MB = 2^20 bytes), always with a period as decimal separator.
void FormatAmountText(wchar_t* buffer, size_t count, int64_t doneBytes, int64_t totalBytes);
