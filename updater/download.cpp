#include "download.h"

#include <commctrl.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cstdint>
#include <string>

#include "internet.h"
#include "message_pump.h"
#include "progress_bar.h"
#include "run_log.h"
#include "scoped_handles.h"
#include "session.h"
#include "texts.h"
#include "verify_file.h"

namespace {

// The bar moves by each chunk's size in KiB.
constexpr int kKiBShift = 10;

// A download that would replace a file lands here, beside it, and replaces it only once complete.
constexpr wchar_t kPartSuffix[] = L".part";

constexpr uint64_t kUnknownLength = UINT64_MAX;

bool IsHttpUrl(const wchar_t* url) {
    return StrCmpNIW(url, L"http://", 7) == 0 || StrCmpNIW(url, L"https://", 8) == 0;
}

bool StatusIsSuccess(HINTERNET request) {
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr))
        return false;
    return status >= 200 && status <= 299;
}

// The announced body length; the string form because the numeric one stops at 4 GiB.
uint64_t AnnouncedLength(HINTERNET request) {
    wchar_t text[32];
    DWORD size = sizeof(text);
    if (!HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH, text, &size, nullptr) || text[0] == L'\0')
        return kUnknownLength;
    uint64_t length = 0;
    for (const wchar_t* c = text; *c; ++c) {
        if (*c < L'0' || *c > L'9' || length > (UINT64_MAX - 9) / 10) return kUnknownLength;
        length = length * 10 + static_cast<uint64_t>(*c - L'0');
    }
    return length;
}

// The file one download writes: the target itself when there was none, else the part file beside
// it. Deleted on every path unless it is complete and in place.
struct PartFile {
    std::wstring path;
    ScopedHandle handle;
    bool kept = false;

    bool Create(DWORD disposition) {
        handle.Reset(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
        return handle.Valid();
    }
    bool IsTarget(const wchar_t* localPath) const { return path == localPath; }
    ~PartFile() {
        handle.Reset();
        if (!kept) DeleteFileW(path.c_str());
    }
};

// The absolute folder that would hold relativePath; false when it does not fit MAX_PATH.
bool ParentFolderOf(const wchar_t* relativePath, wchar_t (&folder)[MAX_PATH]) {
    const DWORD length = GetCurrentDirectoryW(MAX_PATH, folder);
    if (length == 0 || length >= MAX_PATH || !PathAppendW(folder, relativePath)) return false;
    PathRemoveFileSpecW(folder);
    return true;
}

// Creates folder with every missing level; non-zero when it exists afterwards.
BOOL CreateFolder(const wchar_t* folder) {
    const int result = SHCreateDirectoryExW(nullptr, folder, nullptr);
    if (result == ERROR_SUCCESS) {
        LogLine(kLogCreatedDirectory, folder);
        return TRUE;
    }
    // A plain file of that name counts too; creating the file inside it fails later.
    return result == ERROR_FILE_EXISTS || result == ERROR_ALREADY_EXISTS;
}

// Opens the file the download writes (part). A file that is not there yet is written in place: no
// previous version to keep, and no rename, which under Wine costs more than a small file's
// transfer. The folder is nearly always there: it is made (and its creation logged) only when the
// file cannot be created without it, so a folder removed meanwhile is made again.
bool CreateDestination(const wchar_t* localPath, const wchar_t* folder, PartFile* part) {
    part->path = localPath;
    if (part->Create(CREATE_NEW)) return true;
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
        if (!CreateFolder(folder)) {
            part->kept = true;  // nothing was created
            return false;
        }
        if (part->Create(CREATE_NEW)) return true;
    }
    // Something is there already: it stays until the new file is complete.
    part->path += kPartSuffix;
    if (part->Create(CREATE_ALWAYS)) return true;
    part->kept = true;  // not ours: it could not be created, so it is someone else's
    LogLine(kLogFailedToOpen, localPath);
    return false;
}

// Reads the whole body into the open part file. False on a failed read or write, a cancel, or a
// body shorter than announced. bar: the dialog's progress bar, null when there is none to move.
bool TransferBody(UpdateSession* session, UrlRequest* request, HANDLE file, uint64_t announced, int progress,
                  HWND bar, WrittenBytes* kept) {
    uint64_t received = 0;
    for (;;) {
        const char* chunk = nullptr;
        DWORD got = 0;
        if (!ReadChunk(session, request, progress != 0, &chunk, &got)) return false;
        if (got == 0) break;
        DWORD written = 0;
        if (!WriteFile(file, chunk, got, &written, nullptr) || written != got) return false;
        if (kept) KeepWrittenBytes(kept, chunk, got);
        received += got;
        if (progress) {
            session->doneBytes += got;
            if (bar) CountBarSteps(&session->barSteps, got >> kKiBShift);
            if (!PumpMessagesWhenDue(session)) return false;
        }
    }
    // A connection closed mid-body can end the reads exactly like the end of data (under Wine a
    // hang-up always does, and so does a reset that comes before the read is issued), so only the
    // announced length tells the two apart.
    return announced == kUnknownLength || received >= announced;
}

}  // namespace

BOOL EnsureParentDirectory(const wchar_t* relativePath) {
    wchar_t folder[MAX_PATH];
    return ParentFolderOf(relativePath, folder) && CreateFolder(folder);
}

int DownloadToFile(UpdateSession* session, const wchar_t* url, const wchar_t* localPath, int progress,
                   WrittenBytes* kept) {
    if (!url || !localPath || !session->internet || (session->flags & kCancelBit)) return 0;

    UrlRequest request;
    if (!OpenUrl(session, url, progress != 0, &request)) return 0;

    uint64_t announced = kUnknownLength;
    if (IsHttpUrl(url)) {
        // An error page must never replace a good file, the manifest above all.
        if (!StatusIsSuccess(request.handle)) return 0;
        announced = AnnouncedLength(request.handle);
    }

    wchar_t folder[MAX_PATH];
    if (!ParentFolderOf(localPath, folder)) return 0;
    PartFile part;
    if (!CreateDestination(localPath, folder, &part)) return 0;

    const HWND bar = progress ? session->bar : nullptr;  // null while there is no dialog
    const DWORD started = GetTickCount();
    const bool complete = TransferBody(session, &request, part.handle.Get(), announced, progress, bar, kept);
    // The check that reads a large file back may take as long as its transfer, with nothing pumped:
    // the bar shows the exact position meanwhile. After a short transfer the next tick is soon enough.
    if (bar && GetTickCount() - started >= kBarDrawPeriodMs) DrawBarNow(bar);
    if (!complete) return 0;

    part.handle.Reset();
    // One rename: the target is either the previous file or the complete new one, never a mix.
    if (!part.IsTarget(localPath) && !MoveFileExW(part.path.c_str(), localPath, MOVEFILE_REPLACE_EXISTING)) {
        LogLine(kLogFailedToOpen, localPath);
        return 0;
    }
    part.kept = true;
    return 1;
}
