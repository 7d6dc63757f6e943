// The progress dialog, created from the real template and driven as the run drives it:
// messages go through IsDialogMessageW, the timer ticks for real, the log is a real file.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "progress_dialog.h"
#include "resource.h"
#include "session.h"
#include "test_util.h"
#include "texts.h"

namespace {

const std::string kCancelLine = "[ OK ] User cancelled update.\r\n";

class ProgressDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&controls);
        createdAt_ = GetTickCount();
        session_.dialog = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_PROGRESS), nullptr,
                                             ProgressDialogProc, reinterpret_cast<LPARAM>(&session_));
        ASSERT_NE(session_.dialog, nullptr);
    }
    void TearDown() override { DestroyWindow(session_.dialog); }

    // The download's pump: everything queued, through the dialog manager first.
    bool PumpUntil(const std::function<bool()>& done) {
        for (const DWORD start = GetTickCount();; MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT)) {
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                if (!IsDialogMessageW(session_.dialog, &msg)) {
                    TranslateMessage(&msg);
                    DispatchMessageW(&msg);
                }
            }
            if (done() || GetTickCount() - start > 5000) return done();
        }
    }
    std::wstring Text(int id) const {
        wchar_t text[128] = L"";
        GetDlgItemTextW(session_.dialog, id, text, ARRAYSIZE(text));
        return text;
    }
    HWND Item(int id) const { return GetDlgItem(session_.dialog, id); }
    std::wstring AmountAfterTick(int64_t doneBytes, int64_t totalBytes) {
        session_.doneBytes = doneBytes;
        session_.totalBytes = totalBytes;
        SendMessageW(session_.dialog, WM_TIMER, IDT_REFRESH, 0);
        return Text(IDC_AMOUNT_TEXT);
    }

    test::TempDir temp_;
    UpdateSession session_ = {};
    DWORD createdAt_ = 0;
};

TEST_F(ProgressDialogTest, OpensWithCaptionEmptyLinesAndFocusOnCancel) {
    EXPECT_TRUE(IsWindowVisible(session_.dialog));
    wchar_t caption[64] = L"";
    GetWindowTextW(session_.dialog, caption, ARRAYSIZE(caption));
    EXPECT_STREQ(caption, kCaption);
    EXPECT_EQ(GetFocus(), Item(IDCANCEL));
    EXPECT_EQ(Text(IDC_STATUS_TEXT) + Text(IDC_AMOUNT_TEXT), L"");
    // The bar steps by 1, not by the control's own default of 10.
    SendMessageW(Item(IDC_PROGRESS_BAR), PBM_STEPIT, 0, 0);
    EXPECT_EQ(SendMessageW(Item(IDC_PROGRESS_BAR), PBM_GETPOS, 0, 0), 1);
}

TEST_F(ProgressDialogTest, TimerShowsSessionCountersInMegabytes) {
    session_.doneBytes = 3500000;
    session_.totalBytes = 10000000;
    ASSERT_TRUE(PumpUntil([&] { return !Text(IDC_AMOUNT_TEXT).empty(); }));
    EXPECT_EQ(Text(IDC_AMOUNT_TEXT), L"3.34 MB of 9.54 MB");
    EXPECT_GE(GetTickCount() - createdAt_, 450u) << "the amount line is refreshed every 500 ms, not faster";
    EXPECT_EQ(AmountAfterTick(0, 0), L"0.00 MB of 0.00 MB");
    EXPECT_EQ(AmountAfterTick(0, 1048576), L"0.00 MB of 1.00 MB");
    EXPECT_EQ(AmountAfterTick(3 * 1048576 + 5243, 1048576), L"3.01 MB of 1.00 MB");  // more than announced

    wchar_t small[8] = L"#######";
    FormatAmountText(small, 5, 3500000, 10000000);
    EXPECT_STREQ(small, L"3.34") << "cut and terminated within the count";
}

TEST_F(ProgressDialogTest, AmountKeepsPeriodWhateverTheUserLocale) {
    // A French thread locale and a comma as the user's decimal separator (the prefix's settings).
    const LCID oldThreadLocale = GetThreadLocale();
    wchar_t oldDecimal[8] = L".", number[32] = L"";
    GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, oldDecimal, ARRAYSIZE(oldDecimal));
    SetThreadLocale(MAKELCID(MAKELANGID(LANG_FRENCH, SUBLANG_FRENCH), SORT_DEFAULT));
    SetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, L",");
    GetNumberFormatW(LOCALE_USER_DEFAULT, 0, L"3.34", nullptr, number, ARRAYSIZE(number));
    const std::wstring amount = AmountAfterTick(1500000000, 12345678901);
    SetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, oldDecimal);
    SetThreadLocale(oldThreadLocale);

    EXPECT_EQ(std::wstring(number).substr(0, 4), L"3,34") << "the comma setting did not take";
    EXPECT_EQ(amount, L"1430.51 MB of 11773.76 MB");
}

void PostKey(WPARAM key) {  // to the focused control, as the keyboard would
    PostMessageW(GetFocus(), WM_KEYDOWN, key, 0x00000001);
    PostMessageW(GetFocus(), WM_KEYUP, key, 0xC0000001);
}

// Every way the player can ask to stop, through the same pump as a download.
TEST_F(ProgressDialogTest, EveryWayToCancelSetsTheBitGreysTheButtonAndLogsOnce) {
    const struct {
        const char* way;
        void (*act)(HWND dialog);
    } ways[] = {
        {"click", [](HWND d) { SendMessageW(GetDlgItem(d, IDCANCEL), BM_CLICK, 0, 0); }},
        {"Escape", [](HWND) { PostKey(VK_ESCAPE); }},
        {"Enter", [](HWND) { PostKey(VK_RETURN); }},
        {"close box", [](HWND d) { PostMessageW(d, WM_SYSCOMMAND, SC_CLOSE, 0); }},
    };
    SetDlgItemTextW(session_.dialog, IDC_STATUS_TEXT, kStatusUpdating);
    for (const auto& w : ways) {
        SCOPED_TRACE(w.way);
        session_.flags = 0x6;  // bits the dialog leaves alone
        EnableWindow(Item(IDCANCEL), TRUE);
        SetFocus(Item(IDCANCEL));
        test::LogCapture capture(temp_ / L"log.txt");
        w.act(session_.dialog);
        const bool cancelled = PumpUntil([&] { return (session_.flags & kCancelBit) != 0; });
        PumpUntil([] { return true; });  // whatever else the action queued
        const std::string log = capture.Finish();

        ASSERT_TRUE(cancelled);
        EXPECT_EQ(session_.flags, 0x7u);
        EXPECT_FALSE(IsWindowEnabled(Item(IDCANCEL)));
        EXPECT_EQ(log, kCancelLine);
        EXPECT_TRUE(IsWindowVisible(session_.dialog)) << "only the run hides or destroys the dialog";
        EXPECT_EQ(Text(IDC_STATUS_TEXT), kStatusUpdating);
    }
}

TEST_F(ProgressDialogTest, OnlyCommandsOneAndTwoCancelAndEachIsLogged) {
    session_.flags = 0x80000000u;
    auto command = [&](WORD id, WORD code) {
        return ProgressDialogProc(session_.dialog, WM_COMMAND, MAKEWPARAM(id, code), 0);
    };
    test::LogCapture capture(temp_ / L"log.txt");
    const INT_PTR others = command(0, BN_CLICKED) | command(3, BN_CLICKED) | command(0x102, 0);
    const uint32_t flagsAfterOthers = session_.flags;
    const BOOL enabledAfterOthers = IsWindowEnabled(Item(IDCANCEL));
    // Enter, then a second command still queued behind it (accelerator code 1): two lines.
    const INT_PTR ok = command(IDOK, BN_CLICKED) & command(IDCANCEL, 1);
    const std::string log = capture.Finish();

    EXPECT_EQ(others, FALSE);
    EXPECT_EQ(flagsAfterOthers, 0x80000000u);
    EXPECT_TRUE(enabledAfterOthers);
    EXPECT_EQ(ok, TRUE);
    EXPECT_EQ(session_.flags, 0x80000001u);
    EXPECT_EQ(log, kCancelLine + kCancelLine);
}

}  // namespace
