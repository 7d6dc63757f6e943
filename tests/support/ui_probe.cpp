// ui_probe: starts a program, watches its windows from outside and reports what it saw.
//
//   ui_probe.exe --out REPORT --run EXE --cwd DIR [--cancel-when FILE] [--second] [--timeout MS]
//
// The probe runs EXE in DIR and polls its top-level windows every 20 ms until it exits. Each
// report line is one JSON object (UTF-8):
//   {"event":"dialog","status":..,"amount":..,"low":..,"high":..,"pos":..}  whenever one changes
//   {"event":"box","text":..,"icon":"error|information|unknown","owner":"dialog|none|other"}
//   {"event":"cancel"}          the dialog's Cancel button was clicked (--cancel-when FILE exists)
//   {"event":"second","exit":N} a second copy of EXE, started in DIR while the dialog showed
//   {"event":"exit","code":N}   or {"event":"timeout"} (the program was then terminated)
// Every message box is answered with OK once recorded. The probe itself exits 0 when it could
// start the program, 2 otherwise.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <string>

namespace {

constexpr wchar_t kCaption[] = L"DOD OVOD Urade Zuzerur";
constexpr wchar_t kDialogClass[] = L"#32770";
constexpr int kProgressBarId = 101;
constexpr int kStatusTextId = 102;
constexpr int kAmountTextId = 103;
constexpr int kBoxTextId = 0xFFFF;
constexpr DWORD kPollMs = 20;
constexpr UINT kQueryTimeoutMs = 200;
constexpr DWORD kIconTimeoutMs = 3000;
constexpr DWORD kSecondCopyTimeoutMs = 15000;
// A box is answered only after the dialog behind it has been watched this long, so what the
// box's modal loop keeps doing to the dialog (the amount line's timer) is seen too.
constexpr DWORD kWatchBehindBoxMs = 800;

struct Options {
    std::wstring out;
    std::wstring run;
    std::wstring cwd;
    std::wstring cancelWhen;  // empty: never cancel
    bool second = false;
    DWORD timeoutMs = 60000;
};

struct DialogState {
    std::wstring status;
    std::wstring amount;
    long long low = -1;  // -1: not answered yet (the program pumps messages only between chunks)
    long long high = -1;
    long long pos = -1;
};

bool operator!=(const DialogState& a, const DialogState& b) {
    return a.status != b.status || a.amount != b.amount || a.low != b.low || a.high != b.high || a.pos != b.pos;
}

// ---- report ----

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                      nullptr);
    std::string bytes(n > 0 ? n : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], n, nullptr, nullptr);
    return bytes;
}

std::string Json(const std::wstring& text) {
    std::string quoted = "\"";
    for (const char c : Utf8(text)) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            snprintf(escape, sizeof(escape), "\\u%04x", static_cast<unsigned char>(c));
            quoted += escape;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

class Report {
public:
    explicit Report(const std::wstring& path) : file_(_wfopen(path.c_str(), L"wb")) {}
    ~Report() {
        if (file_) fclose(file_);
    }
    Report(const Report&) = delete;
    Report& operator=(const Report&) = delete;

    bool Ok() const { return file_ != nullptr; }
    // One line per event, flushed at once so a crash of the probe loses nothing written before.
    void Line(const std::string& fields) {
        if (!file_) return;
        fprintf(file_, "{%s}\n", fields.c_str());
        fflush(file_);
    }

private:
    FILE* file_;
};

// ---- reading the program's windows ----

struct Found {
    DWORD processId;
    HWND dialog;
    HWND box;
};

std::wstring WindowText(HWND window) {
    // For another process's window GetWindowTextW reads the stored text without sending a
    // message, so it answers even while the program is busy and pumps nothing.
    wchar_t text[1024] = L"";
    if (window) GetWindowTextW(window, text, 1024);
    return text;
}

BOOL CALLBACK CollectWindow(HWND window, LPARAM context) {
    Found* found = reinterpret_cast<Found*>(context);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId != found->processId || !IsWindowVisible(window)) return TRUE;
    wchar_t className[64] = L"";
    GetClassNameW(window, className, 64);
    if (lstrcmpW(className, kDialogClass) != 0 || WindowText(window) != kCaption) return TRUE;
    // Both are dialogs with the same caption: only the progress dialog has the bar.
    if (GetDlgItem(window, kProgressBarId)) {
        found->dialog = window;
    } else {
        found->box = window;
    }
    return TRUE;
}

Found FindWindows(DWORD processId) {
    Found found = {processId, nullptr, nullptr};
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&found));
    return found;
}

// A bar query crosses into the program, which answers only while it pumps messages: ask with a
// time-out and keep the previous value when it does not answer.
bool QueryBar(HWND bar, UINT message, WPARAM wParam, long long* value) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(bar, message, wParam, 0, SMTO_ABORTIFHUNG, kQueryTimeoutMs, &result)) return false;
    *value = static_cast<int>(result);
    return true;
}

DialogState ReadDialog(HWND dialog, const DialogState& previous) {
    DialogState state = previous;
    state.status = WindowText(GetDlgItem(dialog, kStatusTextId));
    state.amount = WindowText(GetDlgItem(dialog, kAmountTextId));
    const HWND bar = GetDlgItem(dialog, kProgressBarId);
    // With lParam 0 PBM_GETRANGE returns the low (TRUE) or high (FALSE) limit: a pointer to a
    // PBRANGE would not cross processes.
    if (QueryBar(bar, PBM_GETRANGE, TRUE, &state.low)) {
        QueryBar(bar, PBM_GETRANGE, FALSE, &state.high);
        QueryBar(bar, PBM_GETPOS, 0, &state.pos);
    }
    return state;
}

// Which icon a message box shows. The icon's image cannot be compared by handle: under Wine an
// HICON belongs to the process that loaded it and GetIconInfo fails on it from here. So the icon
// static is read back from the screen, and its dominant colour decides: the error icon is a red
// disc, the information icon a blue one (both with a white sign). Until the box has painted the
// pixels are the dialog's grey and the answer is "unknown". Other tests share the display, so the
// pixels are read only while the icon is the window on top at its own place.
struct IconSearch {
    HWND icon;
};

BOOL CALLBACK FindIconStatic(HWND child, LPARAM context) {
    wchar_t className[32] = L"";
    GetClassNameW(child, className, 32);
    if (lstrcmpiW(className, L"Static") == 0 && (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
        reinterpret_cast<IconSearch*>(context)->icon = child;
        return FALSE;
    }
    return TRUE;
}

const char* ClassifyIconOnScreen(HWND box) {
    IconSearch search = {nullptr};
    EnumChildWindows(box, FindIconStatic, reinterpret_cast<LPARAM>(&search));
    RECT rect;
    if (!search.icon || !GetWindowRect(search.icon, &rect)) return "unknown";
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0 || width > 256 || height > 256) return "unknown";
    const POINT corners[] = {{rect.left, rect.top}, {rect.right - 1, rect.bottom - 1}};
    for (const POINT& corner : corners) {
        if (GetAncestor(WindowFromPoint(corner), GA_ROOT) != box) return "unknown";
    }

    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    const HDC screen = GetDC(nullptr);
    const HDC memory = CreateCompatibleDC(screen);
    const HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    int red = 0;
    int blue = 0;
    if (memory && bitmap && bits) {
        const HGDIOBJ old = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
        GdiFlush();
        const BYTE* pixel = static_cast<const BYTE*>(bits);  // B, G, R, x
        for (int i = 0; i < width * height; ++i, pixel += 4) {
            const int b = pixel[0], g = pixel[1], r = pixel[2];
            if (r > 150 && g < 110 && b < 110) ++red;
            if (b > 150 && r < 110) ++blue;
        }
        SelectObject(memory, old);
    }
    if (bitmap) DeleteObject(bitmap);
    if (memory) DeleteDC(memory);
    ReleaseDC(nullptr, screen);

    const int enough = width * height / 20;
    if (red > enough && red > 4 * blue) return "error";
    if (blue > enough && blue > 4 * red) return "information";
    return "unknown";
}

const char* OwnerName(HWND box, HWND dialog) {
    const HWND owner = GetWindow(box, GW_OWNER);
    if (!owner) return "none";
    return owner == dialog ? "dialog" : "other";
}

// ---- acting on the program ----

void Click(HWND button) {
    // Posted, so the probe never waits on a program that is not pumping; the button turns the
    // click into its WM_COMMAND itself.
    PostMessageW(button, BM_CLICK, 0, 0);
}

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

class Process {
public:
    Process() : info_() {}
    ~Process() {
        if (info_.hThread) CloseHandle(info_.hThread);
        if (info_.hProcess) CloseHandle(info_.hProcess);
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool Start(const std::wstring& exe, const std::wstring& cwd) {
        std::wstring commandLine = L"\"" + exe + L"\"";
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        return CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, cwd.c_str(), &startup,
                              &info_) != FALSE;
    }
    DWORD Id() const { return info_.dwProcessId; }
    bool Wait(DWORD ms) const { return WaitForSingleObject(info_.hProcess, ms) == WAIT_OBJECT_0; }
    long ExitCode() const {
        DWORD code = 0;
        GetExitCodeProcess(info_.hProcess, &code);
        return static_cast<long>(code);
    }
    void Terminate() const { TerminateProcess(info_.hProcess, 99); }

private:
    PROCESS_INFORMATION info_;
};

std::string DialogLine(const DialogState& s) {
    return "\"event\":\"dialog\",\"status\":" + Json(s.status) + ",\"amount\":" + Json(s.amount) +
           ",\"low\":" + std::to_string(s.low) + ",\"high\":" + std::to_string(s.high) +
           ",\"pos\":" + std::to_string(s.pos);
}

// Records the box, then answers it with OK.
void HandleBox(Report* report, HWND box, HWND dialog) {
    const std::wstring text = WindowText(GetDlgItem(box, kBoxTextId));
    const char* owner = OwnerName(box, dialog);
    const char* icon = "unknown";
    for (DWORD waited = 0; waited < kIconTimeoutMs && IsWindow(box); waited += kPollMs) {
        icon = ClassifyIconOnScreen(box);
        if (lstrcmpA(icon, "unknown") != 0) break;
        Sleep(kPollMs);
    }
    report->Line("\"event\":\"box\",\"text\":" + Json(text) + ",\"icon\":\"" + icon + "\",\"owner\":\"" + owner +
                 "\"");
    Click(GetDlgItem(box, IDOK));
    // Wait for the box to go, so the same box is not recorded twice.
    for (DWORD waited = 0; waited < kIconTimeoutMs && IsWindow(box); waited += kPollMs) Sleep(kPollMs);
}

void StartSecondCopy(Report* report, const Options& options) {
    Process second;
    if (!second.Start(options.run, options.cwd)) {
        report->Line("\"event\":\"second\",\"exit\":-1");
        return;
    }
    if (!second.Wait(kSecondCopyTimeoutMs)) {
        second.Terminate();
        report->Line("\"event\":\"second\",\"exit\":\"timeout\"");
        return;
    }
    report->Line("\"event\":\"second\",\"exit\":" + std::to_string(second.ExitCode()));
}

int Watch(Report* report, const Options& options) {
    Process program;
    if (!program.Start(options.run, options.cwd)) {
        report->Line("\"event\":\"error\",\"what\":\"cannot start the program\"");
        return 2;
    }
    DialogState last;
    HWND lastDialog = nullptr;
    bool cancelled = false;
    bool secondDone = false;
    DWORD boxSeenAt = 0;
    const DWORD start = GetTickCount();
    for (;;) {
        if (program.Wait(0)) break;
        if (GetTickCount() - start > options.timeoutMs) {
            program.Terminate();
            report->Line("\"event\":\"timeout\"");
            return 0;
        }
        const Found found = FindWindows(program.Id());
        if (found.dialog) {
            lastDialog = found.dialog;
            const DialogState state = ReadDialog(found.dialog, last);
            if (state != last) report->Line(DialogLine(state));
            last = state;
            if (options.second && !secondDone) {
                secondDone = true;
                StartSecondCopy(report, options);
            }
            if (!cancelled && !options.cancelWhen.empty() && FileExists(options.cancelWhen)) {
                cancelled = true;
                Click(GetDlgItem(found.dialog, IDCANCEL));
                report->Line("\"event\":\"cancel\"");
            }
        }
        if (found.box) {
            if (found.dialog && !boxSeenAt) boxSeenAt = GetTickCount();
            if (!found.dialog || GetTickCount() - boxSeenAt >= kWatchBehindBoxMs) {
                HandleBox(report, found.box, found.dialog ? found.dialog : lastDialog);
                boxSeenAt = 0;
                continue;
            }
        }
        Sleep(kPollMs);
    }
    report->Line("\"event\":\"exit\",\"code\":" + std::to_string(program.ExitCode()));
    return 0;
}

bool ParseOptions(int argc, wchar_t** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring name = argv[i];
        const bool hasValue = i + 1 < argc;
        if (name == L"--second") {
            options->second = true;
        } else if (name == L"--out" && hasValue) {
            options->out = argv[++i];
        } else if (name == L"--run" && hasValue) {
            options->run = argv[++i];
        } else if (name == L"--cwd" && hasValue) {
            options->cwd = argv[++i];
        } else if (name == L"--cancel-when" && hasValue) {
            options->cancelWhen = argv[++i];
        } else if (name == L"--timeout" && hasValue) {
            options->timeoutMs = wcstoul(argv[++i], nullptr, 10);
        } else {
            return false;
        }
    }
    return !options->out.empty() && !options->run.empty() && !options->cwd.empty();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        fwprintf(stderr, L"usage: ui_probe --out REPORT --run EXE --cwd DIR [--cancel-when FILE] [--second] "
                         L"[--timeout MS]\n");
        return 2;
    }
    Report report(options.out);
    if (!report.Ok()) {
        fwprintf(stderr, L"ui_probe: cannot write %ls\n", options.out.c_str());
        return 2;
    }
    return Watch(&report, options);
}
