// DownloadToFile against the misbehaving test server on 127.0.0.1, with real files and the real dialog.
#include <windows.h>
#include <commctrl.h>
#include <wininet.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "download.h"
#include "progress_dialog.h"
#include "resource.h"
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
    static const int port = std::atoi(test::ReadBytes(test::FromUnixPath(std::getenv("HTTP_SERVER_PORT_FILE"))).c_str());
    return L"http://127.0.0.1:" + std::to_wstring(port) + path;
}

const std::vector<std::wstring> kOnlyPack = {L"pack.bin"};

// The progress dialog from the real template, with the PBM_DELTAPOS messages its bar receives.
class Dialog {
public:
    explicit Dialog(UpdateSession* session) : session_(session) {
        INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&controls);
        session->dialog = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_PROGRESS), nullptr,
                                             ProgressDialogProc, reinterpret_cast<LPARAM>(session));
        SetWindowSubclass(GetDlgItem(session->dialog, IDC_PROGRESS_BAR), Record, 1, reinterpret_cast<DWORD_PTR>(&deltas));
    }
    ~Dialog() {
        DestroyWindow(session_->dialog);
        session_->dialog = nullptr;
    }
    std::vector<WPARAM> deltas;

private:
    static LRESULT CALLBACK Record(HWND bar, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR deltas) {
        if (message == PBM_DELTAPOS) reinterpret_cast<std::vector<WPARAM>*>(deltas)->push_back(wParam);
        return DefSubclassProc(bar, message, wParam, lParam);
    }
    UpdateSession* session_;
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
    EXPECT_EQ(test::FolderNames(dir_.Path()).size(), 3u) << "no temporary file is left";
}

TEST_F(DownloadTest, ProgressOnCountsBytesAndMovesTheBarByWholeKiBOffTouchesNothing) {
    Dialog dialog(&session_);
    session_.doneBytes = 1000;
    PostThreadMessageW(GetCurrentThreadId(), WM_APP, 7, 0);
    EXPECT_EQ(Download(L"/bytes/5000", L"pack.bin"), 1);
    EXPECT_EQ(session_.doneBytes, 1000);
    EXPECT_TRUE(dialog.deltas.empty());
    MSG msg;
    EXPECT_TRUE(PeekMessageW(&msg, nullptr, WM_APP, WM_APP, PM_REMOVE)) << "the queue was pumped";

    EXPECT_EQ(Download(L"/bytes/5000", L"pack.bin", 1), 1);
    EXPECT_EQ(session_.doneBytes, 6000);
    EXPECT_EQ(dialog.deltas, (std::vector<WPARAM>{4, 0}));
}

TEST_F(DownloadTest, CreatesMissingFoldersAndLogsTheDeepestOnce) {
    test::LogCapture log(logDir_ / L"log.txt");
    EXPECT_EQ(Download(L"/bytes/10", L"Liveries\\A-10C\\skin\\a.dds"), 1);
    EXPECT_EQ(Download(L"/bytes/10", L"Liveries\\A-10C\\skin\\b.dds"), 1);
    const std::string text = log.Finish();
    const std::wstring deepest = dir_ / L"Liveries\\A-10C\\skin";
    EXPECT_EQ(text, "[ OK ] Created directory: \"" + std::string(deepest.begin(), deepest.end()) + "\"\r\n");
    EXPECT_EQ(test::ReadBytes(dir_ / L"Liveries\\A-10C\\skin\\b.dds"), Pattern(10));
}

// Every failure leaves the previous file exactly as it was and no temporary file behind.
TEST_F(DownloadTest, FailuresLeaveTheOldFileAlone) {
    std::vector<std::wstring> failing = {L"/fault/404/bytes/5000", L"/fault/500/bytes/5000",
                                         L"/fault/drop/4096/bytes/20000", L"/fault/drop/0/bytes/20000",
                                         L"/fault/hangup/300/bytes/5000"};
    // Under Wine 8 nothing ends a stalled read: WinINet ignores the receive time-out, and closing
    // the handle from another thread does not wake the read either. The hang-up is what Wine shows.
    if (!GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version"))
        failing.push_back(L"/fault/stall/bytes/5000");
    for (const auto& path : failing) {
        SCOPED_TRACE(std::string(path.begin(), path.end()));
        ASSERT_TRUE(test::WriteBytes(dir_ / L"pack.bin", "previous version"));
        EXPECT_EQ(Download(path, L"pack.bin"), 0);
        EXPECT_EQ(test::ReadBytes(dir_ / L"pack.bin"), "previous version");
        EXPECT_EQ(Download(path, L"new.bin"), 0);
        EXPECT_EQ(test::FolderNames(dir_.Path()), kOnlyPack);
    }
}

TEST_F(DownloadTest, TargetHeldOpenWithoutSharingIsReported) {
    ASSERT_TRUE(test::WriteBytes(dir_ / L"pack.bin", "held"));
    HANDLE holder = CreateFileW((dir_ / L"pack.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    test::LogCapture log(logDir_ / L"log.txt");
    const int result = Download(L"/bytes/5000", L"pack.bin");
    const std::string text = log.Finish();
    CloseHandle(holder);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(text, "[FAIL] Failed to open file \"pack.bin\".\r\n");
    EXPECT_EQ(test::ReadBytes(dir_ / L"pack.bin"), "held");
    EXPECT_EQ(test::FolderNames(dir_.Path()), kOnlyPack);
}

TEST_F(DownloadTest, RefusesWithoutOpeningAnything) {
    const std::wstring tag = L"never-" + std::to_wstring(GetTickCount());
    session_.flags = kCancelBit;
    EXPECT_EQ(Download(L"/bytes/10?" + tag, L"pack.bin", 1), 0);
    session_.flags = 0;
    HINTERNET internet = session_.internet;
    session_.internet = nullptr;
    EXPECT_EQ(Download(L"/bytes/10?" + tag, L"pack.bin"), 0);
    session_.internet = internet;
    EXPECT_TRUE(test::FolderNames(dir_.Path()).empty());

    // Ask the server, outside the code under test, which paths it has seen.
    std::string seen;
    HINTERNET request = InternetOpenUrlW(internet, ServerUrl(L"/requests").c_str(), nullptr, 0, INTERNET_FLAG_RELOAD, 0);
    char buffer[4096];
    DWORD got = 0;
    while (request && InternetReadFile(request, buffer, sizeof(buffer), &got) && got > 0) seen.append(buffer, got);
    if (request) InternetCloseHandle(request);
    EXPECT_NE(seen, "");
    EXPECT_EQ(seen.find(std::string(tag.begin(), tag.end())), std::string::npos);
}

// A cancel waiting in the queue is seen by the pump after the first chunk.
TEST_F(DownloadTest, CancelStopsTheTransferAtTheNextChunk) {
    const struct {
        const char* way;
        void (*post)(HWND dialog);
        std::string log;
    } ways[] = {
        {"Escape, through the dialog manager", [](HWND d) { PostMessageW(d, WM_KEYDOWN, VK_ESCAPE, 0); },
         "[ OK ] User cancelled update.\r\n"},
        {"the thread asked to quit", [](HWND) { PostQuitMessage(0); }, ""},
    };
    for (const auto& w : ways) {
        SCOPED_TRACE(w.way);
        ASSERT_TRUE(test::WriteBytes(dir_ / L"pack.bin", "old"));
        session_.flags = 0;
        session_.doneBytes = 0;
        Dialog dialog(&session_);
        test::LogCapture log(logDir_ / L"log.txt");
        w.post(session_.dialog);
        const int result = Download(L"/bytes/40960", L"pack.bin", 1);
        EXPECT_EQ(log.Finish(), w.log);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(session_.flags, kCancelBit);
        EXPECT_GT(session_.doneBytes, 0);
        EXPECT_LE(session_.doneBytes, 4096);
        EXPECT_EQ(test::ReadBytes(dir_ / L"pack.bin"), "old");
        EXPECT_EQ(test::FolderNames(dir_.Path()), kOnlyPack);
    }
}

}  // namespace
