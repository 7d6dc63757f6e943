// The progress dialog, created from the real template and driven like the run drives it:
// messages go through IsDialogMessageW, the timer ticks for real, the log is a real file.
#include <windows.h>
#include <commctrl.h>
#include <io.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#include "progress_dialog.h"
#include "resource.h"
#include "session.h"
#include "test_util.h"
#include "texts.h"

namespace {

const std::string kCancelLine = "[ OK ] User cancelled update.\r\n";

// Sends standard output (the run log) to a file, as the run does, and back again. Only actions run
// while it is active: a failing check would print its message into the file.
class LogCapture {
public:
    explicit LogCapture(const std::wstring& path) : path_(path) {
        fflush(stdout);
        saved_ = _dup(_fileno(stdout));
        _wfreopen(path.c_str(), L"w", stdout);
    }
    ~LogCapture() { Finish(); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Restores standard output; returns the bytes written to the log.
    std::string Finish() {
        if (saved_ >= 0) {
            fflush(stdout);
            _dup2(saved_, _fileno(stdout));
            _close(saved_);
            saved_ = -1;
            clearerr(stdout);
        }
        return test::ReadBytes(path_);
    }

private:
    std::wstring path_;
    int saved_ = -1;
};

// Sets the user's decimal separator for one scope (the prefix's regional settings).
class UserDecimalSeparator {
public:
    explicit UserDecimalSeparator(const wchar_t* separator) {
        GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, old_, ARRAYSIZE(old_));
        SetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, separator);
    }
    ~UserDecimalSeparator() { SetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, old_); }
    UserDecimalSeparator(const UserDecimalSeparator&) = delete;
    UserDecimalSeparator& operator=(const UserDecimalSeparator&) = delete;

private:
    wchar_t old_[8] = L".";
};

class ProgressDialogTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&controls);
    }

    void SetUp() override {
        session_.flags = 0;
        session_.instance = GetModuleHandleW(nullptr);
        createdAt_ = GetTickCount();
        session_.dialog = CreateDialogParamW(session_.instance, MAKEINTRESOURCEW(IDD_PROGRESS), nullptr,
                                             ProgressDialogProc, reinterpret_cast<LPARAM>(&session_));
        ASSERT_NE(session_.dialog, nullptr);
    }

    void TearDown() override {
        if (session_.dialog) DestroyWindow(session_.dialog);
        session_.dialog = nullptr;
    }

    // One pass of the download's pump: everything queued, through the dialog manager first.
    void Pump() {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_TIMER && msg.hwnd == session_.dialog && ticks_++ == 0)
                firstTickAfterMs_ = GetTickCount() - createdAt_;
            if (!IsDialogMessageW(session_.dialog, &msg)) {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
        }
    }

    bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = 10000) {
        const DWORD start = GetTickCount();
        for (;;) {
            Pump();
            if (done()) return true;
            if (GetTickCount() - start > timeoutMs) return false;
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        }
    }

    std::wstring ItemText(int id) const {
        wchar_t text[128] = L"";
        GetDlgItemTextW(session_.dialog, id, text, ARRAYSIZE(text));
        return text;
    }

    HWND Item(int id) const { return GetDlgItem(session_.dialog, id); }

    std::wstring AmountAfterTick(int64_t doneBytes, int64_t totalBytes) {
        session_.doneBytes = doneBytes;
        session_.totalBytes = totalBytes;
        SendMessageW(session_.dialog, WM_TIMER, IDT_REFRESH, 0);
        return ItemText(IDC_AMOUNT_TEXT);
    }

    test::TempDir temp_;
    UpdateSession session_ = {};
    DWORD createdAt_ = 0;
    int ticks_ = 0;
    DWORD firstTickAfterMs_ = 0;
};

TEST_F(ProgressDialogTest, OpensVisibleWithCaptionEmptyLinesAndFocusOnCancel) {
    EXPECT_TRUE(IsWindowVisible(session_.dialog));
    wchar_t caption[64] = L"";
    GetWindowTextW(session_.dialog, caption, ARRAYSIZE(caption));
    EXPECT_STREQ(caption, kCaption);
    EXPECT_EQ(GetFocus(), Item(IDCANCEL));
    EXPECT_TRUE(IsWindowEnabled(Item(IDCANCEL)));
    EXPECT_EQ(ItemText(IDCANCEL), L"Cancel");
    EXPECT_EQ(ItemText(IDC_STATUS_TEXT), L"");
    EXPECT_EQ(ItemText(IDC_AMOUNT_TEXT), L"");

    // The bar steps by 1 (the control's own default is 10).
    HWND bar = Item(IDC_PROGRESS_BAR);
    SendMessageW(bar, PBM_SETRANGE32, 0, 100);
    SendMessageW(bar, PBM_STEPIT, 0, 0);
    EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 1);
}

TEST_F(ProgressDialogTest, TimerShowsSessionCountersInMegabytes) {
    session_.doneBytes = 3500000;
    session_.totalBytes = 10000000;
    ASSERT_TRUE(PumpUntil([&] { return !ItemText(IDC_AMOUNT_TEXT).empty(); }));
    EXPECT_EQ(ItemText(IDC_AMOUNT_TEXT), L"3.34 MB of 9.54 MB");
    EXPECT_GE(firstTickAfterMs_, 450u) << "the amount line refreshes every 500 ms, not faster";

    EXPECT_EQ(AmountAfterTick(0, 0), L"0.00 MB of 0.00 MB");
    EXPECT_EQ(AmountAfterTick(0, 1048576), L"0.00 MB of 1.00 MB");
    // More done than announced is shown as it is.
    EXPECT_EQ(AmountAfterTick(3 * 1048576 + 5243, 1048576), L"3.01 MB of 1.00 MB");
}

TEST_F(ProgressDialogTest, AmountKeepsPeriodWhateverTheUserLocale) {
    const LCID french = MAKELCID(MAKELANGID(LANG_FRENCH, SUBLANG_FRENCH), SORT_DEFAULT);
    const LCID oldThreadLocale = GetThreadLocale();
    SetThreadLocale(french);
    UserDecimalSeparator comma(L",");

    // The regional settings really use a comma now.
    wchar_t number[32] = L"";
    GetNumberFormatW(LOCALE_USER_DEFAULT, 0, L"3.34", nullptr, number, ARRAYSIZE(number));
    EXPECT_EQ(std::wstring(number).substr(0, 4), L"3,34");

    EXPECT_EQ(AmountAfterTick(3500000, 10000000), L"3.34 MB of 9.54 MB");
    EXPECT_EQ(AmountAfterTick(1500000000, 12345678901), L"1430.51 MB of 11773.76 MB");
    SetThreadLocale(oldThreadLocale);
}

TEST(FormatAmountText, FitsAnyCountersAndNeverOverrunsTheBuffer) {
    wchar_t text[64];
    FormatAmountText(text, ARRAYSIZE(text), INT64_MAX, INT64_MAX);
    EXPECT_STREQ(text, L"8796093022208.00 MB of 8796093022208.00 MB");

    wchar_t small[8];
    wmemset(small, L'#', ARRAYSIZE(small));
    FormatAmountText(small, 5, 3500000, 10000000);
    EXPECT_STREQ(small, L"3.34");
    EXPECT_EQ(small[5], L'#');
}

// Every way the player can ask to stop, through the same pump as a download.
struct CancelWay {
    const char* name;
    std::function<void(HWND dialog)> act;
};

void PostKey(HWND dialog, WPARAM key) {
    HWND focus = GetFocus();
    PostMessageW(focus ? focus : dialog, WM_KEYDOWN, key, 0x00000001);
    PostMessageW(focus ? focus : dialog, WM_KEYUP, key, 0xC0000001);
}

class CancelTest : public ProgressDialogTest, public ::testing::WithParamInterface<CancelWay> {};

TEST_P(CancelTest, SetsCancelBitGreysButtonAndLogsOnce) {
    session_.flags = 0x6;  // bits the dialog must leave alone
    SetDlgItemTextW(session_.dialog, IDC_STATUS_TEXT, kStatusUpdating);

    LogCapture capture(temp_ / L"log.txt");
    GetParam().act(session_.dialog);
    const bool cancelled = PumpUntil([&] { return (session_.flags & kCancelBit) != 0; }, 5000);
    Pump();  // anything else the action queued
    const std::string log = capture.Finish();

    ASSERT_TRUE(cancelled);
    EXPECT_EQ(session_.flags, 0x7u);
    EXPECT_FALSE(IsWindowEnabled(Item(IDCANCEL)));
    EXPECT_EQ(log, kCancelLine);
    EXPECT_TRUE(IsWindow(session_.dialog)) << "only the run destroys the dialog";
    EXPECT_EQ(ItemText(IDC_STATUS_TEXT), kStatusUpdating);
}

INSTANTIATE_TEST_SUITE_P(
    EveryWay, CancelTest,
    ::testing::Values(
        CancelWay{"ClickOnCancel", [](HWND d) { SendMessageW(GetDlgItem(d, IDCANCEL), BM_CLICK, 0, 0); }},
        CancelWay{"EscapeKey", [](HWND d) { PostKey(d, VK_ESCAPE); }},
        CancelWay{"EnterKey", [](HWND d) { PostKey(d, VK_RETURN); }},
        CancelWay{"CloseBox", [](HWND d) { PostMessageW(d, WM_SYSCOMMAND, SC_CLOSE, 0); }}),
    [](const ::testing::TestParamInfo<CancelWay>& info) { return std::string(info.param.name); });

TEST_F(ProgressDialogTest, OnlyCommandsOneAndTwoCancelAndEachIsLogged) {
    session_.flags = 0x80000000u;
    LogCapture capture(temp_ / L"log.txt");
    const INT_PTR zero = ProgressDialogProc(session_.dialog, WM_COMMAND, MAKEWPARAM(0, BN_CLICKED), 0);
    const INT_PTR three = ProgressDialogProc(session_.dialog, WM_COMMAND, MAKEWPARAM(3, BN_CLICKED), 0);
    const INT_PTR wide = ProgressDialogProc(session_.dialog, WM_COMMAND, MAKEWPARAM(0x102, 0), 0);
    const uint32_t flagsBefore = session_.flags;
    const BOOL enabledBefore = IsWindowEnabled(Item(IDCANCEL));
    const std::string logBefore = test::ReadBytes(temp_ / L"log.txt");
    // Enter (IDOK), then an accelerator-style IDCANCEL still queued behind it.
    const INT_PTR ok = ProgressDialogProc(session_.dialog, WM_COMMAND, MAKEWPARAM(IDOK, 0), 0);
    const INT_PTR cancel = ProgressDialogProc(session_.dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, 1), 0);
    const std::string log = capture.Finish();

    EXPECT_EQ(zero, FALSE);
    EXPECT_EQ(three, FALSE);
    EXPECT_EQ(wide, FALSE);
    EXPECT_EQ(flagsBefore, 0x80000000u);
    EXPECT_TRUE(enabledBefore);
    EXPECT_EQ(logBefore, "");

    EXPECT_EQ(ok, TRUE);
    EXPECT_EQ(cancel, TRUE);
    EXPECT_EQ(session_.flags, 0x80000001u);
    EXPECT_FALSE(IsWindowEnabled(Item(IDCANCEL)));
    EXPECT_EQ(log, kCancelLine + kCancelLine);
}

TEST_F(ProgressDialogTest, DestroyStopsTheTimer) {
    ASSERT_TRUE(PumpUntil([&] { return ticks_ > 0; })) << "the refresh timer never ticked";
    EXPECT_EQ(ProgressDialogProc(session_.dialog, WM_DESTROY, 0, 0), TRUE);
    Pump();
    // Past a whole period a live timer would have a tick waiting.
    Sleep(700);
    MSG msg;
    EXPECT_FALSE(PeekMessageW(&msg, session_.dialog, WM_TIMER, WM_TIMER, PM_REMOVE));
    EXPECT_FALSE(KillTimer(session_.dialog, IDT_REFRESH)) << "timer 1 still existed";
}

}  // namespace
