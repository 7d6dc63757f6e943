// Starts updater.exe in a folder, watches it from outside and answers its final message box, so
// that the demo and the benchmark can run it without a person at the screen.
//
// usage: drive_updater.exe [--poll-ms N] [--timeout-s N] UPDATER_EXE WORKING_DIR
//
// Prints key=value lines on standard output (UTF-8), each flushed when it happens:
//   dialog=X,Y,W,H   the progress dialog's screen rectangle, once, when it first shows
//   box_ms=N         milliseconds from the start of the process to its message box (the run's
//                    work is done by then; what follows is only the answer and the exit)
//   box_text=T       the message box text, line breaks shown as " / "
//   peak_kib=N       the process's peak working set, sampled every poll while it runs
//   exit_ms=N        milliseconds from the start to the end of the process
//   exit_code=N      its exit status (124 when it overran the time-out and was ended)
// The helper's own exit status is 0 when the process ran to its end, 2 on a usage error,
// 3 when the process could not be started, 4 on a time-out.
#include <windows.h>
#include <psapi.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "scoped_handles.h"
#include "utf8.h"

namespace {

constexpr int kDialogProgressBarId = 101;  // only the progress dialog has it
constexpr int kMessageBoxTextId = 0xFFFF;  // the static text of a message box
constexpr DWORD kReanswerMs = 500;         // a box still up after this long is answered again
constexpr DWORD kTimeoutExitCode = 124;

struct Options {
    DWORD pollMs = 10;
    DWORD timeoutS = 900;
    const wchar_t* exe = nullptr;
    const wchar_t* workDir = nullptr;
};

struct FoundWindows {
    DWORD processId;
    HWND dialog;
    HWND box;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM param) {
    FoundWindows* found = reinterpret_cast<FoundWindows*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != found->processId || !IsWindowVisible(window)) return TRUE;
    wchar_t className[16] = L"";
    GetClassNameW(window, className, 16);
    if (wcscmp(className, L"#32770") != 0) return TRUE;
    // Both are dialog-class windows: the progress bar tells the dialog from a message box.
    if (GetDlgItem(window, kDialogProgressBarId)) {
        found->dialog = window;
    } else if (GetDlgItem(window, kMessageBoxTextId)) {
        found->box = window;
    }
    return TRUE;
}

std::wstring BoxText(HWND box) {
    wchar_t text[1024] = L"";
    GetDlgItemTextW(box, kMessageBoxTextId, text, 1024);
    std::wstring flat;
    for (const wchar_t* p = text; *p; ++p) {
        if (*p == L'\r') continue;
        if (*p == L'\n') {
            flat += L" / ";
        } else {
            flat += *p;
        }
    }
    return flat;
}

bool ParseOptions(int argc, wchar_t** argv, Options* options) {
    int i = 1;
    for (; i + 1 < argc && argv[i][0] == L'-'; i += 2) {
        const DWORD value = wcstoul(argv[i + 1], nullptr, 10);
        if (wcscmp(argv[i], L"--poll-ms") == 0 && value > 0) {
            options->pollMs = value;
        } else if (wcscmp(argv[i], L"--timeout-s") == 0 && value > 0) {
            options->timeoutS = value;
        } else {
            return false;
        }
    }
    if (argc - i != 2) return false;
    options->exe = argv[i];
    options->workDir = argv[i + 1];
    return true;
}

double ElapsedMs(const LARGE_INTEGER& start) {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(now.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// The working set can only be read while the process exists, so the peak is sampled each poll.
// It is the running maximum, so the last sample before the exit holds the whole run's peak.
void SamplePeak(HANDLE process, SIZE_T* peak) {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    if (GetProcessMemoryInfo(process, &counters, sizeof(counters)) && counters.PeakWorkingSetSize > *peak)
        *peak = counters.PeakWorkingSetSize;
}

// Watches the running process until it ends; answers every message box with OK.
DWORD Watch(const Options& options, const PROCESS_INFORMATION& started, const LARGE_INTEGER& start,
            SIZE_T* peak, bool* timedOut) {
    bool dialogReported = false;
    HWND answeredBox = nullptr;
    DWORD answeredAt = 0;
    const ULONGLONG deadline = GetTickCount64() + 1000ULL * options.timeoutS;
    while (WaitForSingleObject(started.hProcess, options.pollMs) == WAIT_TIMEOUT) {
        SamplePeak(started.hProcess, peak);
        FoundWindows found = {started.dwProcessId, nullptr, nullptr};
        EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&found));
        if (found.dialog && !dialogReported) {
            RECT r;
            GetWindowRect(found.dialog, &r);
            printf("dialog=%ld,%ld,%ld,%ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
            fflush(stdout);
            dialogReported = true;
        }
        if (found.box && (found.box != answeredBox || GetTickCount() - answeredAt > kReanswerMs)) {
            if (found.box != answeredBox) {
                printf("box_ms=%.0f\nbox_text=%s\n", ElapsedMs(start), ToUtf8(BoxText(found.box)).c_str());
                fflush(stdout);
            }
            PostMessageW(found.box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(found.box, IDOK)));
            answeredBox = found.box;
            answeredAt = GetTickCount();
        }
        if (GetTickCount64() > deadline) {
            TerminateProcess(started.hProcess, kTimeoutExitCode);
            WaitForSingleObject(started.hProcess, INFINITE);
            *timedOut = true;
            break;
        }
    }
    DWORD exitCode = 0;
    GetExitCodeProcess(started.hProcess, &exitCode);
    return exitCode;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // Plain LF line ends: the scripts that read these lines run on Linux.
    _setmode(_fileno(stdout), _O_BINARY);
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        fprintf(stderr, "usage: drive_updater.exe [--poll-ms N] [--timeout-s N] UPDATER_EXE WORKING_DIR\n");
        return 2;
    }

    std::wstring commandLine = L"\"" + std::wstring(options.exe) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started = {};
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    if (!CreateProcessW(options.exe, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, options.workDir,
                        &startup, &started)) {
        fprintf(stderr, "drive_updater: cannot start %s (error %lu)\n", ToUtf8(options.exe).c_str(),
                GetLastError());
        return 3;
    }
    ScopedHandle process(started.hProcess);
    ScopedHandle thread(started.hThread);

    SIZE_T peak = 0;
    bool timedOut = false;
    const DWORD exitCode = Watch(options, started, start, &peak, &timedOut);
    printf("peak_kib=%lu\nexit_ms=%.0f\nexit_code=%lu\n", static_cast<unsigned long>(peak / 1024),
           ElapsedMs(start), exitCode);
    fflush(stdout);
    return timedOut ? 4 : 0;
}
