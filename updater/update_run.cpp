#include "update_run.h"

#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <cstdio>

#include "download.h"
#include "progress_bar.h"
#include "progress_dialog.h"
#include "resource.h"
#include "run_log.h"
#include "session.h"
#include "texts.h"
#include "verify_all.h"
#include "verify_file.h"

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitNoManifest = 1;
constexpr int kExitSomeFailed = 2;
constexpr int kExitCancelled = 3;

int AbortOnInvalidManifest() {
    LogLine(kLogInvalidManifest);
    MessageBoxW(nullptr, kBoxUpdateFailed, kCaption, MB_ICONERROR);
    return kExitNoManifest;
}

// Without MD5 every file would look stale, be downloaded and fail its check: nothing is fetched.
// No file could be verified, so the run ends as one whose files failed.
int AbortWithoutHashing(DWORD error) {
    LogLine(kLogNoHashService, static_cast<unsigned long>(error));
    MessageBoxW(nullptr, kBoxUpdateFailed, kCaption, MB_ICONERROR);
    return kExitSomeFailed;
}

// The bar's range is a signed 32-bit number of KiB. Totals of 2 TiB and more are clamped instead
// of wrapping, a step's worth below the limit: the control adds each step before it clamps, so a
// step taken at the very top would overflow to a negative position and show an empty bar.
constexpr int32_t kLargestStep = 4096 >> 10;  // one download chunk
constexpr int32_t kBarLimit = INT32_MAX - kLargestStep;

void SetUpProgress(UpdateSession* session) {
    session->totalBytes = 0;
    session->doneBytes = 0;
    for (const FileEntry& entry : session->reader.entries) {
        session->totalBytes += entry.size;
        if (entry.flags & kUpToDateBit) session->doneBytes += entry.size;
    }
    const double totalKiB = static_cast<double>(session->totalBytes) * (1.0 / 1024.0);
    const int32_t maximum = totalKiB >= kBarLimit ? kBarLimit : static_cast<int32_t>(totalKiB);
    int64_t position = session->doneBytes / 1024;
    if (position > maximum) position = maximum;

    session->bar = GetDlgItem(session->dialog, IDC_PROGRESS_BAR);
    SendMessageW(session->bar, PBM_SETRANGE32, 0, maximum);
    SendMessageW(session->bar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
    SetDlgItemTextW(session->dialog, IDC_STATUS_TEXT, kStatusUpdating);
    ThrottleBarDrawing(session->bar, &session->barSteps);
}

// Downloads and re-checks every stale entry; true when all of them are now current.
// A cancel does not end the loop: every later download fails at once and is logged.
bool DownloadStale(UpdateSession* session) {
    bool allOk = true;
    for (FileEntry& entry : session->reader.entries) {
        if (entry.flags & kUpToDateBit) continue;
        LogLine(kLogDownloading, entry.path.c_str(), entry.src.c_str());
        WrittenBytes written;
        StartWrittenBytes(&written);
        if (!DownloadToFile(session, entry.src.c_str(), entry.path.c_str(), 1, &written)) {
            allOk = false;
            LogLine(kLogDownloadError, entry.path.c_str());
            continue;
        }
        if (!VerifyDownloadedFile(&entry, &written, &session->crypt)) {
            allOk = false;
            LogLine(kLogValidateError, entry.path.c_str());
        }
    }
    return allOk;
}

void SetStatus(UpdateSession* session, const wchar_t* text) {
    if (session->dialog) SetDlgItemTextW(session->dialog, IDC_STATUS_TEXT, text);
}

}  // namespace

int RunUpdate(UpdateSession* session) {
    // The folder exists before the log is opened in it.
    EnsureParentDirectory(kLogPath);
    _wfreopen(kLogPath, L"w", stdout);

    LogLine(kLogDownloadingManifest);
    // Not examined: when the server cannot be reached, the copy of an earlier run is used.
    DownloadToFile(session, kManifestUrl, kManifestPath, 0);
    if (!ReadManifestFile(&session->reader, kManifestPath)) return AbortOnInvalidManifest();
    LogLine(kLogManifestValid);
    if (const DWORD error = CheckHashService(&session->crypt)) return AbortWithoutHashing(error);

    // On every core: for a current pack this check is the whole run.
    if (!VerifyAll(&session->reader.entries, &session->crypt)) {
        LogLine(kLogNoUpdate);
        MessageBoxW(session->dialog, kBoxNoUpdate, kCaption, MB_ICONINFORMATION);
        return kExitSuccess;
    }

    if (!session->dialog) {
        session->dialog = CreateDialogParamW(session->instance, MAKEINTRESOURCEW(IDD_PROGRESS), nullptr,
                                             ProgressDialogProc, reinterpret_cast<LPARAM>(session));
    }
    // Without a dialog the downloads still run, with no progress shown and no way to cancel.
    if (session->dialog) SetUpProgress(session);

    const bool allOk = DownloadStale(session);
    // Whatever comes next (status, box, the end) leaves the bar and the amount line still: both
    // show their final figures at once, not at the next tick of the timer.
    if (session->bar) DrawBarNow(session->bar);
    if (session->dialog) ShowAmount(session);
    int result = kExitSuccess;
    if (allOk) {
        SetStatus(session, kStatusDone);
        MessageBoxW(session->dialog, kBoxUpdateDone, kCaption, MB_ICONINFORMATION);
    } else if (!(session->flags & kCancelBit)) {
        SetStatus(session, kStatusFailed);
        MessageBoxW(session->dialog, kBoxUpdateFailed, kCaption, MB_ICONERROR);
        result = kExitSomeFailed;
    } else {
        result = kExitCancelled;  // the user chose to stop: no message box
    }

    if (session->dialog) {
        DestroyWindow(session->dialog);
        session->dialog = nullptr;
        session->bar = nullptr;
    }
    return result;
}
