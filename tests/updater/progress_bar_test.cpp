// The bar of the real dialog while a transfer runs: the pixels follow the position within a tenth
// of a second while messages are pumped, and show it exactly as soon as the transfer ends.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include "progress_bar.h"
#include "progress_dialog.h"
#include "resource.h"
#include "session.h"

namespace {

void PumpFor(DWORD milliseconds) {
    for (const DWORD start = GetTickCount(); GetTickCount() - start < milliseconds; Sleep(10)) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }
}

// Percent of the bar's middle row that shows the fill colour (the theme's blue), as painted.
int DrawnPercent(HWND bar) {
    RECT client;
    GetClientRect(bar, &client);
    const HDC dc = GetDC(bar);
    int filled = 0;
    for (int x = 0; x < client.right; ++x) {
        const COLORREF pixel = GetPixel(dc, x, client.bottom / 2);
        filled += GetBValue(pixel) > 200 && GetRValue(pixel) < 150;
    }
    ReleaseDC(bar, dc);
    return filled * 100 / client.right;
}

TEST(ProgressBar, FollowsThePositionWhileBytesArriveAndIsExactWhenTheyStop) {
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    UpdateSession session = {};
    session.dialog = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_PROGRESS), nullptr,
                                        ProgressDialogProc, reinterpret_cast<LPARAM>(&session));
    ASSERT_NE(session.dialog, nullptr);
    const HWND bar = GetDlgItem(session.dialog, IDC_PROGRESS_BAR);
    SendMessageW(bar, PBM_SETRANGE32, 0, 100);
    PumpFor(100);
    EXPECT_EQ(DrawnPercent(bar), 0);

    ThrottleBarDrawing(bar, &session.barSteps);
    for (int chunk = 0; chunk < 10; ++chunk) CountBarSteps(&session.barSteps, 4);
    EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 40) << "every step counts at once";
    PumpFor(250);
    EXPECT_NEAR(DrawnPercent(bar), 40, 3);

    SendMessageW(bar, PBM_DELTAPOS, 40, 0);
    DrawBarNow(bar);  // no pump in between
    EXPECT_NEAR(DrawnPercent(bar), 80, 3);
    DestroyWindow(session.dialog);
}

}  // namespace
