// drive_updater: runs updater.exe in a folder, watches its dialog and message boxes from outside,
// answers them as a person or the system would, and reports what it saw (demo, bench and tests).
//
//   drive_updater.exe [--timeout-s N] [--poll-ms N] [--timing] [--second | --cancel WAY FILE] EXE DIR
//
// EXE runs in DIR; its windows are polled every N ms (default 10) until it exits, for at most
// --timeout-s seconds (default 45; then it is ended). Standard output gets one JSON object a line
// (ASCII, \u escapes), flushed at once; ms counts from just before the process was started:
//   {"event":"locale","lcid":N,"decimal":..}   the user locale EXE starts with, and its decimal sign
//   {"event":"dialog","status":..,"amount":..,"low":..,"high":..,"pos":..,"focus":ID,
//    "cancel_enabled":true|false,"rect":[x,y,w,h]}                                   on a change
//   {"event":"box","ms":N,"unix_ms":N,"text":..,"icon":"error|information|unknown","owner":"dialog|none|other"}
//   {"event":"second","exit":N}   a second copy of EXE, started in DIR while the dialog showed
//   {"event":"stop","ms":N}       the dialog was just asked to stop (--cancel)
//   {"event":"greyed","ms":N}     Cancel was greyed, even if only moments before the dialog went
//   {"event":"exit","code":N,"ms":N,"peak_kib":N}   or {"event":"timeout","ms":N}
// Every box is answered with OK once recorded (its ms, and unix_ms on the system's clock in ms since
// 1970, are taken when it is first seen; the dialog behind it is read first). With
// --cancel, once FILE exists the dialog is asked to stop the WAY a player or the system would:
// "click" on Cancel, "escape", the "close" box, an "ok" command (what Enter sends when no button
// is the default) or "quit" (WM_QUIT); cancel_watch.dll, which must lie beside the driver, is then
// hooked into the program to see Cancel greyed, reported the moment it is. --timing touches the
// program as little as possible, for measurements: each poll only asks which window of the program
// is active, the dialog is reported once and its bar never asked, a box is answered at once, and
// the peak working set (the system keeps its high-water mark) is read when the box shows.
// Exit status: 0 the program ended, 2 usage error, 3 the program could not be started, 4 time-out.
#include <windows.h>
#include <commctrl.h>
#include <psapi.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "cancel_watch.h"
#include "resource.h"
#include "scoped_handles.h"
#include "texts.h"

namespace {

constexpr int kBoxTextId = 0xFFFF;
constexpr UINT kQueryTimeoutMs = 200;
constexpr DWORD kBoxTimeoutMs = 3000;  // for a box's icon to be painted, and for the box to go
constexpr DWORD kSecondCopyTimeoutMs = 15000;

struct Options {
    DWORD timeoutS = 45, pollMs = 10;
    bool timing = false, second = false;
    std::wstring cancelBy, cancelWhen;  // cancelWhen empty: never cancel
    std::wstring exe, dir;
};

struct Found {
    DWORD processId;
    HWND dialog, box;
};

struct Run {
    Options options;
    LARGE_INTEGER start;
    HANDLE process;
    DWORD processId, threadId;
    SIZE_T peak;
    HANDLE greyed;  // set by cancel_watch.dll; null without --cancel
    Found active;   // --timing: what the active window was found to be
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

void Report(const std::string& fields) {
    printf("{%s}\n", fields.c_str());
    fflush(stdout);
}

// The system's clock, in ms since 1970: the same clock a web server on this machine reads.
std::string UnixMs() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const ULONGLONG since1601 = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return std::to_string((since1601 - 116444736000000000ULL) / 10000);
}

std::string Ms(const Run& run) {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return std::to_string((now.QuadPart - run.start.QuadPart) * 1000 / frequency.QuadPart);
}

// The working set can only be read while the process exists: the peak is sampled each poll (with
// --timing only at the box: the system keeps the high-water mark itself).
void SamplePeak(Run* run) {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    if (GetProcessMemoryInfo(run->process, &counters, sizeof(counters)) && counters.PeakWorkingSetSize > run->peak)
        run->peak = counters.PeakWorkingSetSize;
}

std::wstring Text(HWND window) {
    // For another process's window GetWindowTextW reads the stored text without sending a
    // message, so it answers even while the program is busy and pumps nothing.
    wchar_t text[1024] = L"";
    if (window) GetWindowTextW(window, text, 1024);
    return text;
}

// The dialog and the boxes are both dialogs with the same caption; only the dialog has a bar.
void Classify(HWND window, Found* found) {
    wchar_t className[16] = L"";
    GetClassNameW(window, className, 16);
    if (IsWindowVisible(window) && !lstrcmpW(className, L"#32770") && Text(window) == kCaption)
        (GetDlgItem(window, IDC_PROGRESS_BAR) ? found->dialog : found->box) = window;
}

BOOL CALLBACK CollectWindow(HWND window, LPARAM context) {
    Found* found = reinterpret_cast<Found*>(context);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId == found->processId) Classify(window, found);
    return TRUE;
}

// One question to the system a poll, for --timing: the window active on the program's thread (the
// dialog while it shows, a box while it shows), looked at closer only when it is a new one.
void FindActive(Run* run, Found* found) {
    GUITHREADINFO thread = {};
    thread.cbSize = sizeof(thread);
    if (!GetGUIThreadInfo(run->threadId, &thread)) thread.hwndActive = nullptr;
    if (thread.hwndActive != run->active.dialog && thread.hwndActive != run->active.box) {
        run->active = {run->processId, nullptr, nullptr};
        if (thread.hwndActive) Classify(thread.hwndActive, &run->active);  // found again next poll if not yet shown
    }
    *found = run->active;
}

// A bar query crosses into the program, which answers only while it pumps messages: ask with a
// time-out, and keep the previous value when it does not answer.
void QueryBar(HWND bar, UINT message, WPARAM wParam, long long* value) {
    DWORD_PTR result = 0;
    if (SendMessageTimeoutW(bar, message, wParam, 0, SMTO_ABORTIFHUNG, kQueryTimeoutMs, &result))
        *value = static_cast<int>(result);
}

// bar: low, high and position, -1 until the program first answers (or never asked, with --timing).
// Empty while the dialog is being destroyed: its controls go first.
std::string DialogLine(HWND dialog, long long bar[3], bool askBar) {
    const HWND cancel = GetDlgItem(dialog, IDCANCEL);
    const bool cancelEnabled = IsWindowEnabled(cancel);
    // With lParam 0 PBM_GETRANGE returns the low (TRUE) or high (FALSE) limit: a pointer to a
    // PBRANGE would not cross processes.
    const HWND control = GetDlgItem(dialog, IDC_PROGRESS_BAR);
    if (askBar) {
        QueryBar(control, PBM_GETRANGE, TRUE, &bar[0]);
        QueryBar(control, PBM_GETRANGE, FALSE, &bar[1]);
        QueryBar(control, PBM_GETPOS, 0, &bar[2]);
    }
    GUITHREADINFO thread = {};
    thread.cbSize = sizeof(thread);
    GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &thread);
    RECT r = {};
    GetWindowRect(dialog, &r);
    char rect[64];
    snprintf(rect, sizeof(rect), "[%ld,%ld,%ld,%ld]", r.left, r.top, r.right - r.left, r.bottom - r.top);
    if (!IsWindow(cancel)) return std::string();
    return "\"event\":\"dialog\",\"status\":" + Json(Text(GetDlgItem(dialog, IDC_STATUS_TEXT))) +
           ",\"amount\":" + Json(Text(GetDlgItem(dialog, IDC_AMOUNT_TEXT))) + ",\"low\":" + std::to_string(bar[0]) +
           ",\"high\":" + std::to_string(bar[1]) + ",\"pos\":" + std::to_string(bar[2]) +
           ",\"focus\":" + std::to_string(thread.hwndFocus ? GetDlgCtrlID(thread.hwndFocus) : 0) +
           ",\"cancel_enabled\":" + (cancelEnabled ? "true" : "false") +
           ",\"rect\":" + rect;
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
// ("unknown"). Other programs may share the display: pixels are read only while the icon is on top.
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

// Records the box (seen: the fields that say when it was first seen), answers it with OK and
// waits for it to go, so that it is not recorded twice.
void AnswerBox(Run* run, HWND box, HWND dialog, const std::string& seen) {
    const HWND owner = GetWindow(box, GW_OWNER);
    SamplePeak(run);  // the run's work is done: its peak is reached
    const char* icon = IconOnScreen(box);
    for (DWORD waited = 0; !strcmp(icon, "unknown") && waited < kBoxTimeoutMs && IsWindow(box); waited += 10) {
        Sleep(10);
        icon = IconOnScreen(box);
    }
    Report("\"event\":\"box\"," + seen + ",\"text\":" + Json(Text(GetDlgItem(box, kBoxTextId))) +
           ",\"icon\":\"" + icon + "\",\"owner\":\"" + (!owner ? "none" : owner == dialog ? "dialog" : "other") + "\"");
    // Posted, so the driver never waits on a program that is not pumping.
    PostMessageW(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
    for (DWORD waited = 0; waited < kBoxTimeoutMs && IsWindow(box); waited += 10) Sleep(10);
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

// Reports Cancel greyed, once, as soon as the hook has said so.
void ReportGreyed(Run* run) {
    if (run->greyed && WaitForSingleObject(run->greyed, 0) == WAIT_OBJECT_0) {
        Report("\"event\":\"greyed\",\"ms\":" + Ms(*run));
        run->greyed = nullptr;
    }
}

// The process handle of EXE started in DIR, or null. Its standard handles lead nowhere: what it
// prints must not mix with the report. With thread, it starts suspended and *thread gets its thread.
HANDLE Start(const Options& options, DWORD* processId, HANDLE* thread = nullptr, DWORD* threadId = nullptr) {
    std::wstring commandLine = L"\"" + options.exe + L"\"";
    SECURITY_ATTRIBUTES inherited = {sizeof(inherited), nullptr, TRUE};
    const ScopedHandle nul(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       &inherited, OPEN_EXISTING, 0, nullptr));
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = startup.hStdOutput = startup.hStdError = nul.Get();
    PROCESS_INFORMATION info = {};
    if (!nul.Valid() || !CreateProcessW(options.exe.c_str(), &commandLine[0], nullptr, nullptr, TRUE,
                                        thread ? CREATE_SUSPENDED : 0, nullptr, options.dir.c_str(), &startup, &info))
        return nullptr;
    if (thread)
        *thread = info.hThread;
    else
        CloseHandle(info.hThread);
    *processId = info.dwProcessId;
    if (threadId) *threadId = info.dwThreadId;
    return info.hProcess;
}

std::string ExitCode(HANDLE process) {
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    return std::to_string(static_cast<long>(code));
}

void RunSecondCopy(const Options& options) {
    DWORD id = 0;
    const ScopedHandle second(Start(options, &id));
    std::string exit = "-1";  // could not start
    if (second.Valid() && WaitForSingleObject(second.Get(), kSecondCopyTimeoutMs) == WAIT_OBJECT_0) {
        exit = ExitCode(second.Get());
    } else if (second.Valid()) {
        TerminateProcess(second.Get(), 99);
        exit = "\"timeout\"";
    }
    Report("\"event\":\"second\",\"exit\":" + exit);
}

// Watches the program until it ends; false when it overran the time limit and was ended.
bool Watch(Run* run) {
    const Options& options = run->options;
    long long bar[3] = {-1, -1, -1};
    std::string lastLine, boxSeen;
    HWND lastDialog = nullptr;
    bool stopAsked = false, secondDone = false;
    const ULONGLONG deadline = GetTickCount64() + 1000ULL * options.timeoutS;
    for (;;) {
        // Woken at once when the hook sees Cancel greyed, so that the moment is exact.
        const HANDLE waits[] = {run->process, run->greyed};
        if (WaitForMultipleObjects(run->greyed ? 2 : 1, waits, FALSE, options.pollMs) == WAIT_OBJECT_0) break;
        ReportGreyed(run);
        if (!options.timing) SamplePeak(run);
        if (GetTickCount64() > deadline) {
            TerminateProcess(run->process, 99);
            WaitForSingleObject(run->process, INFINITE);
            Report("\"event\":\"timeout\",\"ms\":" + Ms(*run));
            return false;
        }
        Found found = {run->processId, nullptr, nullptr};
        if (options.timing) {
            FindActive(run, &found);
        } else {
            EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&found));
        }
        if (found.box && boxSeen.empty())  // the time first, before the box is read
            boxSeen = "\"ms\":" + Ms(*run) + ",\"unix_ms\":" + UnixMs();
        if (found.dialog && (!options.timing || !lastDialog)) {
            lastDialog = found.dialog;
            const std::string line = DialogLine(found.dialog, bar, !options.timing);
            if (!line.empty() && line != lastLine) Report(lastLine = line);
            if (options.second && !secondDone) {
                secondDone = true;
                RunSecondCopy(options);
            }
            if (!stopAsked && !options.cancelWhen.empty() &&
                GetFileAttributesW(options.cancelWhen.c_str()) != INVALID_FILE_ATTRIBUTES) {
                stopAsked = true;
                AskToStop(found.dialog, options.cancelBy);
                Report("\"event\":\"stop\",\"ms\":" + Ms(*run));
            }
        }
        if (found.box) {
            // The dialog behind it has just been read: the program sets its final figures first.
            AnswerBox(run, found.box, found.dialog ? found.dialog : lastDialog, boxSeen);
            boxSeen.clear();
            run->active = {};  // the box is gone, even while the system still names it active
        }
    }
    ReportGreyed(run);  // the hook ran before the program ended
    Report("\"event\":\"exit\",\"code\":" + ExitCode(run->process) + ",\"ms\":" + Ms(*run) +
           ",\"peak_kib\":" + std::to_string(run->peak / 1024));
    return true;
}

// The hook that sees Cancel greyed, on the program's thread, and the event it sets.
struct CancelWatch {
    HMODULE dll = nullptr;
    HHOOK hook = nullptr;
    ScopedHandle greyed;
    ~CancelWatch() {
        if (hook) UnhookWindowsHookEx(hook);
        if (dll) FreeLibrary(dll);
    }
};

bool WatchCancel(CancelWatch* watch, DWORD processId, DWORD threadId) {
    wchar_t self[MAX_PATH], name[64];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    std::wstring path(self, length);
    path.replace(path.rfind(L'\\') + 1, std::wstring::npos, kCancelWatchDll);
    swprintf(name, 64, kCancelGreyedEvent, processId);
    watch->greyed.Reset(CreateEventW(nullptr, TRUE, FALSE, name));
    watch->dll = LoadLibraryW(path.c_str());
    // Through void (*)(): FARPROC is a function type of its own, and the compiler warns on a direct cast.
    const HOOKPROC proc = watch->dll ? reinterpret_cast<HOOKPROC>(reinterpret_cast<void (*)()>(
                                           GetProcAddress(watch->dll, kCancelWatchProc)))
                                     : nullptr;
    if (proc) watch->hook = SetWindowsHookExW(WH_CALLWNDPROC, proc, watch->dll, threadId);
    return watch->greyed.Valid() && watch->hook;
}

bool ParseOptions(int argc, wchar_t** argv, Options* o) {
    int i = 1;
    for (; i < argc && argv[i][0] == L'-'; ++i) {
        const std::wstring name = argv[i];
        const bool hasValue = i + 1 < argc;
        if (name == L"--timing") {
            o->timing = true;
        } else if (name == L"--second") {
            o->second = true;
        } else if (name == L"--cancel" && i + 2 < argc) {
            o->cancelBy = argv[++i];
            o->cancelWhen = argv[++i];
        } else if ((name == L"--timeout-s" || name == L"--poll-ms") && hasValue && wcstoul(argv[i + 1], nullptr, 10)) {
            (name == L"--timeout-s" ? o->timeoutS : o->pollMs) = wcstoul(argv[++i], nullptr, 10);
        } else {
            return false;
        }
    }
    if (argc - i != 2) return false;
    o->exe = argv[i];
    o->dir = argv[i + 1];
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);  // LF line ends: the reports are read on Linux
    Run run = {};
    if (!ParseOptions(argc, argv, &run.options)) {
        fwprintf(stderr, L"usage: drive_updater [--timeout-s N] [--poll-ms N] [--timing] "
                         L"[--second | --cancel WAY FILE] EXE DIR\n");
        return 2;
    }
    // The program inherits this process's environment, and with it the user locale seen here.
    wchar_t decimal[8] = L"";
    GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, decimal, 8);
    Report("\"event\":\"locale\",\"lcid\":" + std::to_string(GetUserDefaultLCID()) + ",\"decimal\":" + Json(decimal));
    QueryPerformanceCounter(&run.start);
    HANDLE thread = nullptr;
    const bool watch = !run.options.cancelWhen.empty();
    const ScopedHandle process(Start(run.options, &run.processId, watch ? &thread : nullptr, &run.threadId));
    if (!process.Valid()) {
        fwprintf(stderr, L"drive_updater: cannot start %ls (error %lu)\n", run.options.exe.c_str(), GetLastError());
        return 3;
    }
    run.process = process.Get();
    const ScopedHandle suspended(thread);
    CancelWatch cancelWatch;
    if (watch) {
        if (!WatchCancel(&cancelWatch, run.processId, GetThreadId(thread))) {
            fwprintf(stderr, L"drive_updater: cannot hook %ls into the program (error %lu)\n", kCancelWatchDll,
                     GetLastError());
            TerminateProcess(run.process, 99);
            return 3;
        }
        run.greyed = cancelWatch.greyed.Get();
        ResumeThread(thread);
    }
    return Watch(&run) ? 0 : 4;
}
