// ui_probe: runs a program, watches its windows from outside and reports what it saw.
//
//   ui_probe.exe REPORT EXE DIR [--second | --cancel WAY FILE]
//
// EXE runs in DIR and its top-level windows are polled every 20 ms until it exits, for 45 s at
// most. Each line of REPORT is one JSON object (UTF-8):
//   {"event":"dialog","status":..,"amount":..,"low":..,"high":..,"pos":..,"focus":ID}  on a change
//   {"event":"box","text":..,"icon":"error|information|unknown","owner":"dialog|none|other"}
//   {"event":"second","exit":N} a second copy of EXE, started in DIR while the dialog showed
//   {"event":"exit","code":N}   or {"event":"timeout"} (EXE was then terminated)
// Every message box is answered with OK once recorded. With --cancel, once FILE exists the dialog
// is asked to stop the WAY a player or the system would: "click" on Cancel, "escape", the "close"
// box, an "ok" command (what Enter sends when no button is the default), or "quit" (WM_QUIT).
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "scoped_handles.h"

namespace {

constexpr wchar_t kCaption[] = L"DOD OVOD Urade Zuzerur";
constexpr int kBarId = 101, kStatusId = 102, kAmountId = 103, kBoxTextId = 0xFFFF;
constexpr DWORD kPollMs = 20;
constexpr UINT kQueryTimeoutMs = 200;
constexpr DWORD kBoxTimeoutMs = 3000;  // for a box's icon to be painted, and for the box to go
constexpr DWORD kSecondCopyTimeoutMs = 15000;
constexpr DWORD kRunTimeoutMs = 45000;
// A box is answered only after the dialog behind it has been watched this long, so what the box's
// modal loop keeps doing to the dialog (the amount line's timer) is seen too.
constexpr DWORD kWatchBehindBoxMs = 700;

struct Options {
    std::wstring out, run, cwd, cancelWhen, cancelBy;  // cancelWhen empty: never cancel
    bool second = false;
};

// A JSON string: ASCII as it is, everything else as \u escapes of its UTF-16 units.
std::string Json(const std::wstring& text) {
    std::string quoted = "\"";
    for (const wchar_t c : text) {
        char escape[8];
        snprintf(escape, sizeof(escape), c < 0x20 || c > 0x7E || c == L'"' || c == L'\\' ? "\\u%04x" : "%c",
                 static_cast<unsigned>(c));
        quoted += escape;
    }
    return quoted + "\"";
}

// One line per event, flushed at once so nothing written is lost if the probe dies.
void Report(FILE* report, const std::string& fields) {
    fprintf(report, "{%s}\n", fields.c_str());
    fflush(report);
}

std::wstring Text(HWND window) {
    // For another process's window GetWindowTextW reads the stored text without sending a
    // message, so it answers even while the program is busy and pumps nothing.
    wchar_t text[1024] = L"";
    if (window) GetWindowTextW(window, text, 1024);
    return text;
}

struct Found {
    DWORD processId;
    HWND dialog, box;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM context) {
    Found* found = reinterpret_cast<Found*>(context);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    wchar_t className[16] = L"";
    GetClassNameW(window, className, 16);
    // The dialog and the boxes are both dialogs with the same caption; only the dialog has a bar.
    if (processId == found->processId && IsWindowVisible(window) && !lstrcmpW(className, L"#32770") &&
        Text(window) == kCaption)
        (GetDlgItem(window, kBarId) ? found->dialog : found->box) = window;
    return TRUE;
}

// A bar query crosses into the program, which answers only while it pumps messages: ask with a
// time-out, and keep the previous value when it does not answer.
void QueryBar(HWND bar, UINT message, WPARAM wParam, long long* value) {
    DWORD_PTR result = 0;
    if (SendMessageTimeoutW(bar, message, wParam, 0, SMTO_ABORTIFHUNG, kQueryTimeoutMs, &result))
        *value = static_cast<int>(result);
}

// bar: low, high and position, -1 until the program first answers.
std::string DialogLine(HWND dialog, long long bar[3]) {
    // With lParam 0 PBM_GETRANGE returns the low (TRUE) or high (FALSE) limit: a pointer to a
    // PBRANGE would not cross processes.
    const HWND control = GetDlgItem(dialog, kBarId);
    QueryBar(control, PBM_GETRANGE, TRUE, &bar[0]);
    QueryBar(control, PBM_GETRANGE, FALSE, &bar[1]);
    QueryBar(control, PBM_GETPOS, 0, &bar[2]);
    GUITHREADINFO thread = {};
    thread.cbSize = sizeof(thread);
    GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &thread);
    return "\"event\":\"dialog\",\"status\":" + Json(Text(GetDlgItem(dialog, kStatusId))) +
           ",\"amount\":" + Json(Text(GetDlgItem(dialog, kAmountId))) + ",\"low\":" + std::to_string(bar[0]) +
           ",\"high\":" + std::to_string(bar[1]) + ",\"pos\":" + std::to_string(bar[2]) +
           ",\"focus\":" + std::to_string(thread.hwndFocus ? GetDlgCtrlID(thread.hwndFocus) : 0);
}

BOOL CALLBACK FindIcon(HWND child, LPARAM context) {
    wchar_t className[16] = L"";
    GetClassNameW(child, className, 16);
    if (lstrcmpiW(className, L"Static") || (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) != SS_ICON) return TRUE;
    *reinterpret_cast<HWND*>(context) = child;
    return FALSE;
}

// Which icon a box shows. Under Wine an HICON belongs to the process that loaded it and
// GetIconInfo fails on it from here, so the icon is read back from the screen: the error icon is
// a red disc, the information icon a blue one. Until the box has painted, the pixels are grey
// ("unknown"). Other tests share the display, so they are read only while the icon is on top.
const char* IconOnScreen(HWND box) {
    HWND icon = nullptr;
    EnumChildWindows(box, FindIcon, reinterpret_cast<LPARAM>(&icon));
    RECT rect;
    if (!icon || !GetWindowRect(icon, &rect)) return "unknown";
    const int width = rect.right - rect.left, height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0 || width > 256 || height > 256) return "unknown";
    for (const POINT corner : {POINT{rect.left, rect.top}, POINT{rect.right - 1, rect.bottom - 1}})
        if (GetAncestor(WindowFromPoint(corner), GA_ROOT) != box) return "unknown";

    BITMAPINFO info = {};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    const HDC screen = GetDC(nullptr);
    const HDC memory = CreateCompatibleDC(screen);
    const HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    int red = 0, blue = 0;
    if (memory && bitmap && bits) {
        const HGDIOBJ old = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
        GdiFlush();
        const BYTE* pixel = static_cast<const BYTE*>(bits);
        for (const BYTE* end = pixel + 4 * width * height; pixel < end; pixel += 4) {  // blue, green, red, unused
            red += pixel[2] > 150 && pixel[1] < 110 && pixel[0] < 110;
            blue += pixel[0] > 150 && pixel[2] < 110;
        }
        SelectObject(memory, old);
    }
    if (bitmap) DeleteObject(bitmap);
    if (memory) DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    const int enough = width * height / 20;
    return red > enough && red > 4 * blue ? "error" : blue > enough && blue > 4 * red ? "information" : "unknown";
}

// Records the box, then answers it with OK and waits for it to go (so it is not recorded twice).
void AnswerBox(FILE* report, HWND box, HWND dialog) {
    const HWND owner = GetWindow(box, GW_OWNER);
    const char* icon = IconOnScreen(box);
    for (DWORD waited = 0; !strcmp(icon, "unknown") && waited < kBoxTimeoutMs && IsWindow(box); waited += kPollMs) {
        Sleep(kPollMs);
        icon = IconOnScreen(box);
    }
    Report(report, "\"event\":\"box\",\"text\":" + Json(Text(GetDlgItem(box, kBoxTextId))) + ",\"icon\":\"" + icon +
                       "\",\"owner\":\"" + (!owner ? "none" : owner == dialog ? "dialog" : "other") + "\"");
    // Posted, so the probe never waits on a program that is not pumping.
    PostMessageW(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
    for (DWORD waited = 0; waited < kBoxTimeoutMs && IsWindow(box); waited += kPollMs) Sleep(kPollMs);
}

// Everything is posted: the program sees it when its download pumps messages.
void AskToStop(HWND dialog, const std::wstring& way) {
    const HWND button = GetDlgItem(dialog, IDCANCEL);
    if (way == L"click") {
        PostMessageW(button, BM_CLICK, 0, 0);
    } else if (way == L"escape") {  // to the focused button, as the keyboard would
        PostMessageW(button, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
        PostMessageW(button, WM_KEYUP, VK_ESCAPE, 0xC0010001);
    } else if (way == L"close") {
        PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    } else if (way == L"ok") {
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    } else if (way == L"quit") {
        PostThreadMessageW(GetWindowThreadProcessId(dialog, nullptr), WM_QUIT, 0, 0);
    }
}

// The process handle of EXE started in DIR, or null.
HANDLE Start(const Options& options, DWORD* processId) {
    std::wstring commandLine = L"\"" + options.run + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(options.run.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, options.cwd.c_str(),
                        &startup, &info))
        return nullptr;
    CloseHandle(info.hThread);
    *processId = info.dwProcessId;
    return info.hProcess;
}

std::string ExitCode(HANDLE process) {
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    return std::to_string(static_cast<long>(code));
}

void RunSecondCopy(FILE* report, const Options& options) {
    DWORD id = 0;
    const ScopedHandle second(Start(options, &id));
    std::string exit = "-1";  // could not start
    if (second.Valid() && WaitForSingleObject(second.Get(), kSecondCopyTimeoutMs) == WAIT_OBJECT_0) {
        exit = ExitCode(second.Get());
    } else if (second.Valid()) {
        TerminateProcess(second.Get(), 99);
        exit = "\"timeout\"";
    }
    Report(report, "\"event\":\"second\",\"exit\":" + exit);
}

void Watch(FILE* report, const Options& options) {
    Found found = {};
    const ScopedHandle program(Start(options, &found.processId));
    if (!program.Valid()) return Report(report, "\"event\":\"error\",\"what\":\"cannot start the program\"");
    long long bar[3] = {-1, -1, -1};
    std::string lastLine;
    HWND lastDialog = nullptr;
    bool stopAsked = false, secondDone = false;
    DWORD boxSeenAt = 0;
    const DWORD start = GetTickCount();
    while (WaitForSingleObject(program.Get(), 0) != WAIT_OBJECT_0) {
        if (GetTickCount() - start > kRunTimeoutMs) {
            TerminateProcess(program.Get(), 99);
            return Report(report, "\"event\":\"timeout\"");
        }
        found.dialog = found.box = nullptr;
        EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&found));
        if (found.dialog) {
            lastDialog = found.dialog;
            const std::string line = DialogLine(found.dialog, bar);
            if (line != lastLine) Report(report, lastLine = line);
            if (options.second && !secondDone) {
                secondDone = true;
                RunSecondCopy(report, options);
            }
            if (!stopAsked && !options.cancelWhen.empty() &&
                GetFileAttributesW(options.cancelWhen.c_str()) != INVALID_FILE_ATTRIBUTES) {
                stopAsked = true;
                AskToStop(found.dialog, options.cancelBy);
            }
        }
        if (found.box && found.dialog && !boxSeenAt) boxSeenAt = GetTickCount();
        if (found.box && (!found.dialog || GetTickCount() - boxSeenAt >= kWatchBehindBoxMs)) {
            AnswerBox(report, found.box, found.dialog ? found.dialog : lastDialog);
            boxSeenAt = 0;
            continue;
        }
        Sleep(kPollMs);
    }
    Report(report, "\"event\":\"exit\",\"code\":" + ExitCode(program.Get()));
}

bool ParseOptions(int argc, wchar_t** argv, Options* o) {
    if (argc < 4) return false;
    o->out = argv[1];
    o->run = argv[2];
    o->cwd = argv[3];
    o->second = argc == 5 && !lstrcmpW(argv[4], L"--second");
    if (argc == 7 && !lstrcmpW(argv[4], L"--cancel")) {
        o->cancelBy = argv[5];
        o->cancelWhen = argv[6];
    }
    return argc == 4 || o->second || !o->cancelWhen.empty();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        fwprintf(stderr, L"usage: ui_probe REPORT EXE DIR [--second | --cancel WAY FILE]\n");
        return 2;
    }
    const ScopedFile report(_wfopen(options.out.c_str(), L"wb"));
    if (!report.Valid()) {
        fwprintf(stderr, L"ui_probe: cannot write %ls\n", options.out.c_str());
        return 2;
    }
    Watch(report.Get(), options);
    return 0;
}
