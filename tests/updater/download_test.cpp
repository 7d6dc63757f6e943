// DownloadToFile against the misbehaving test server on 127.0.0.1, with real files and windows.
#include <windows.h>
#include <commctrl.h>
#include <io.h>
#include <wininet.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "download.h"
#include "session.h"
#include "test_util.h"

namespace {

// What /bytes/N serves: byte i is i % 251.
std::string Pattern(size_t count) {
    std::string bytes(count, '\0');
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>(i % 251);
    return bytes;
}

std::wstring ServerUrl(const std::wstring& path) {
    static const std::wstring base = [] {
        const std::string port = test::ReadBytes(test::FromUnixPath(std::getenv("HTTP_SERVER_PORT_FILE")));
        return L"http://127.0.0.1:" + std::to_wstring(std::atoi(port.c_str()));
    }();
    return base + path;
}

// A plain GET outside the code under test, to ask the server what it has seen.
std::string HttpGet(HINTERNET internet, const std::wstring& url) {
    std::string body;
    HINTERNET request = InternetOpenUrlW(internet, url.c_str(), nullptr, 0, INTERNET_FLAG_RELOAD, 0);
    char buffer[4096];
    DWORD got = 0;
    while (request && InternetReadFile(request, buffer, sizeof(buffer), &got) && got > 0) body.append(buffer, got);
    if (request) InternetCloseHandle(request);
    return body;
}

std::vector<std::wstring> FolderNames(const std::wstring& dir) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        if (wcscmp(data.cFileName, L".") && wcscmp(data.cFileName, L"..")) names.push_back(data.cFileName);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return names;
}

// Standard output (the run log) sent to a file for one scope.
class StdoutCapture {
public:
    explicit StdoutCapture(const std::wstring& file) : file_(file) {
        fflush(stdout);
        saved_ = _dup(_fileno(stdout));
        _wfreopen(file.c_str(), L"w", stdout);
    }
    ~StdoutCapture() { Stop(); }
    std::string Stop() {
        if (saved_ >= 0) {
            fflush(stdout);
            _dup2(saved_, _fileno(stdout));
            _close(saved_);
            saved_ = -1;
        }
        return test::ReadBytes(file_);
    }

private:
    std::wstring file_;
    int saved_ = -1;
};

// Stands in for the progress dialog: a real progress bar 101 whose PBM_DELTAPOS messages are
// recorded, and Cancel (IDCANCEL, which Escape becomes inside IsDialogMessageW) setting the cancel
// bit. A timer, once armed, presses Escape when it fires.
class ProgressWindow {
public:
    explicit ProgressWindow(UpdateSession* session) : session_(session) {
        INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&controls);
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = WindowProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"DownloadTestProgress";
        RegisterClassW(&windowClass);
        window_ = CreateWindowExW(0, windowClass.lpszClassName, L"test", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                                  300, 100, nullptr, nullptr, windowClass.hInstance, nullptr);
        SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        bar_ = CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD | WS_VISIBLE, 10, 10, 200, 20, window_,
                               reinterpret_cast<HMENU>(101), windowClass.hInstance, nullptr);
        SendMessageW(bar_, PBM_SETRANGE32, 0, 1000);
        SetWindowSubclass(bar_, RecordDeltas, 1, reinterpret_cast<DWORD_PTR>(this));
    }
    ~ProgressWindow() {
        RemoveWindowSubclass(bar_, RecordDeltas, 1);
        DestroyWindow(window_);
    }
    HWND Handle() const { return window_; }
    int Position() const { return static_cast<int>(SendMessageW(bar_, PBM_GETPOS, 0, 0)); }
    void PressEscapeAfter(UINT milliseconds) { SetTimer(window_, 1, milliseconds, nullptr); }
    std::vector<WPARAM> deltas;

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* self = reinterpret_cast<ProgressWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (self && message == WM_COMMAND && LOWORD(wParam) == IDCANCEL) {
            self->session_->flags |= kCancelBit;
            return 0;
        }
        if (self && message == WM_TIMER) {
            KillTimer(window, wParam);
            PostMessageW(window, WM_KEYDOWN, VK_ESCAPE, 0);
            return 0;
        }
        return DefWindowProcW(window, message, wParam, lParam);
    }
    static LRESULT CALLBACK RecordDeltas(HWND bar, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                         DWORD_PTR self) {
        if (message == PBM_DELTAPOS) reinterpret_cast<ProgressWindow*>(self)->deltas.push_back(wParam);
        return DefSubclassProc(bar, message, wParam, lParam);
    }

    UpdateSession* session_;
    HWND window_;
    HWND bar_;
};

class DownloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        session_.internet = InternetOpenW(L"download_test", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
        ASSERT_NE(session_.internet, nullptr);
        SetNetworkTimeouts(session_.internet, 2000);
    }
    void TearDown() override {
        InternetCloseHandle(session_.internet);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        }
    }
    int Download(const std::wstring& path, const std::wstring& local, int progress = 0) {
        return DownloadToFile(&session_, ServerUrl(path).c_str(), local.c_str(), progress);
    }

    test::TempDir dir_;
    test::TempDir logDir_;
    test::CurrentDirectory cwd_{dir_.Path()};
    UpdateSession session_ = {};
};

TEST_F(DownloadTest, BodiesArriveByteExact) {
    ASSERT_TRUE(test::WriteBytes(dir_ / L"pack.bin", std::string(50000, 'x')));  // longer than the new one
    EXPECT_EQ(Download(L"/bytes/20000", L"pack.bin"), 1);
    EXPECT_EQ(test::ReadBytes(dir_ / L"pack.bin"), Pattern(20000));

    // Without a Content-Length the end of the connection is the end of the body.
    EXPECT_EQ(Download(L"/fault/nolength/bytes/9000", L"nolength.bin"), 1);
    EXPECT_EQ(test::ReadBytes(dir_ / L"nolength.bin"), Pattern(9000));

    EXPECT_EQ(Download(L"/bytes/0", L"empty.bin"), 1);
    EXPECT_EQ(test::ReadBytes(dir_ / L"empty.bin"), "");
    EXPECT_EQ(FolderNames(dir_.Path()).size(), 3u) << "no temporary file is left";
}

TEST_F(DownloadTest, ProgressCountsEveryByteAndMovesTheBarByWholeKiB) {
    ProgressWindow window(&session_);
    session_.dialog = window.Handle();
    session_.doneBytes = 1000;
    EXPECT_EQ(Download(L"/bytes/5000", L"pack.bin", 1), 1);
    EXPECT_EQ(session_.doneBytes, 6000);
    EXPECT_EQ(window.deltas, (std::vector<WPARAM>{4, 0}));
    EXPECT_EQ(window.Position(), 4);
}

TEST_F(DownloadTest, ProgressOffTouchesNeitherCountersNorBarNorQueue) {
    ProgressWindow window(&session_);
    session_.dialog = window.Handle();
    session_.doneBytes = 1000;
    PostThreadMessageW(GetCurrentThreadId(), WM_APP, 7, 0);
    EXPECT_EQ(Download(L"/bytes/5000", L"pack.bin"), 1);
    EXPECT_EQ(session_.doneBytes, 1000);
    EXPECT_TRUE(window.deltas.empty());
    MSG msg;
    EXPECT_TRUE(PeekMessageW(&msg, nullptr, WM_APP, WM_APP, PM_REMOVE)) << "the queue was pumped";
}

TEST_F(DownloadTest, CreatesMissingFoldersAndLogsTheDeepestOnce) {
    StdoutCapture log(logDir_ / L"log.txt");
    EXPECT_EQ(Download(L"/bytes/10", L"Liveries\\A-10C\\skin\\a.dds"), 1);
    EXPECT_EQ(Download(L"/bytes/10", L"Liveries\\A-10C\\skin\\b.dds"), 1);
    const std::string text = log.Stop();
    const std::wstring deepest = dir_ / L"Liveries\\A-10C\\skin";
    EXPECT_EQ(text, "[ OK ] Created directory: \"" + std::string(deepest.begin(), deepest.end()) + "\"\r\n");
    EXPECT_EQ(test::ReadBytes(dir_ / L"Liveries\\A-10C\\skin\\b.dds"), Pattern(10));
}

// Every failure leaves the previous file exactly as it was and no temporary file behind.
TEST_F(DownloadTest, FailuresLeaveTheOldFileAlone) {
    const std::string old = "previous version";
    const std::vector<std::wstring> failing = {
        L"/fault/404/bytes/5000",         L"/fault/500/bytes/5000", L"/fault/drop/4096/bytes/20000",
        L"/fault/drop/0/bytes/20000",     L"/fault/hangup/300/bytes/5000",
    };
    for (const auto& path : failing) {
        SCOPED_TRACE(std::string(path.begin(), path.end()));
        ASSERT_TRUE(test::WriteBytes(dir_ / L"pack.bin", old));
        EXPECT_EQ(Download(path, L"pack.bin"), 0);
        EXPECT_EQ(test::ReadBytes(dir_ / L"pack.bin"), old);
        EXPECT_EQ(Download(path, L"new.bin"), 0);
        EXPECT_EQ(FolderNames(dir_.Path()), std::vector<std::wstring>{L"pack.bin"});
    }
}

// Under Wine 8 nothing ends a stalled read: WinINet ignores the receive time-out (on the session
// and on the request) and closing the handle from another thread does not wake the read either.
// The hang-up case above is what Wine can show; this one needs Windows.
TEST_F(DownloadTest, StallEndsAtTheReceiveTimeOut) {
    if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version"))
        GTEST_SKIP() << "Wine does not apply WinINet's receive time-out";
    ASSERT_TRUE(test::WriteBytes(dir_ / L"pack.bin", "old"));
    EXPECT_EQ(Download(L"/fault/stall/bytes/5000", L"pack.bin"), 0);
    EXPECT_EQ(test::ReadBytes(dir_ / L"pack.bin"), "old");
}

TEST_F(DownloadTest, TargetHeldOpenWithoutSharingIsReported) {
    ASSERT_TRUE(test::WriteBytes(dir_ / L"pack.bin", "held"));
    HANDLE holder = CreateFileW((dir_ / L"pack.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    StdoutCapture log(logDir_ / L"log.txt");
    const int result = Download(L"/bytes/5000", L"pack.bin");
    const std::string text = log.Stop();
    CloseHandle(holder);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(text, "[FAIL] Failed to open file \"pack.bin\".\r\n");
    EXPECT_EQ(test::ReadBytes(dir_ / L"pack.bin"), "held");
    EXPECT_EQ(FolderNames(dir_.Path()), std::vector<std::wstring>{L"pack.bin"});
}

TEST_F(DownloadTest, RefusesWithoutOpeningAnything) {
    const std::string tag = "never-" + std::to_string(GetTickCount());
    const std::wstring marker = L"/bytes/10?" + std::wstring(tag.begin(), tag.end());
    session_.flags = kCancelBit;
    EXPECT_EQ(Download(marker, L"pack.bin", 1), 0);
    session_.flags = 0;
    HINTERNET internet = session_.internet;
    session_.internet = nullptr;
    EXPECT_EQ(Download(marker, L"pack.bin"), 0);
    session_.internet = internet;

    EXPECT_TRUE(FolderNames(dir_.Path()).empty());
    const std::string seen = HttpGet(internet, ServerUrl(L"/requests"));
    EXPECT_NE(seen, "");
    EXPECT_EQ(seen.find(tag), std::string::npos);
}

TEST_F(DownloadTest, QuitMessageCancels) {
    ASSERT_TRUE(test::WriteBytes(dir_ / L"pack.bin", "old"));
    PostQuitMessage(0);
    EXPECT_EQ(Download(L"/bytes/5000", L"pack.bin", 1), 0);
    EXPECT_EQ(session_.flags, kCancelBit);
    EXPECT_EQ(test::ReadBytes(dir_ / L"pack.bin"), "old");
}

TEST_F(DownloadTest, CancelDuringASlowBodyStopsAtTheNextChunk) {
    ASSERT_TRUE(test::WriteBytes(dir_ / L"pack.bin", "old"));
    ProgressWindow window(&session_);
    session_.dialog = window.Handle();
    window.PressEscapeAfter(150);
    EXPECT_EQ(Download(L"/fault/slow/4096/100/bytes/40960", L"pack.bin", 1), 0);
    EXPECT_EQ(session_.flags, kCancelBit);
    EXPECT_GT(session_.doneBytes, 0);
    EXPECT_LT(session_.doneBytes, 40960);
    EXPECT_EQ(test::ReadBytes(dir_ / L"pack.bin"), "old");
    EXPECT_EQ(FolderNames(dir_.Path()), std::vector<std::wstring>{L"pack.bin"});
}

}  // namespace
