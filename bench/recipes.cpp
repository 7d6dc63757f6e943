// The updater's two jobs done the plainest way the platform offers, as a yardstick for
// bench/run.py: the same WinINet and CryptoAPI calls, flags and 4 KiB chunks as updater.exe, but
// no window, no log, no progress, one internet session or one crypto context for every file.
//
// usage: recipes.exe download LISTFILE           each line: URL <TAB> output path
//        recipes.exe download-async LISTFILE     the same through WinINet's asynchronous mode, as
//                                                the updater reads: what is there at once, else a wait
//        recipes.exe md5 LISTFILE [DIGESTFILE]   each line: a path; DIGESTFILE gets the digests,
//                                                one lowercase hex line per path, in list order
//
// LISTFILE is UTF-8, LF or CR LF line ends. Output folders must exist. Prints key=value lines:
//   download: bytes=N ms=T        md5: files=N bytes=N ms=T
// ms is measured with QueryPerformanceCounter around the whole work, from the first call
// (InternetOpenW, CryptAcquireContextW) to the last release; reading the list is not counted, nor,
// for a download, one fetch of the first URL before it: that makes the connection (over HTTPS
// with its handshake) as the updater's manifest does before its pack files.
// Exit status 0; 1 when a call failed (named on standard error, nothing else printed); 2 on a
// usage error.
#include <windows.h>
#include <wincrypt.h>
#include <wininet.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "download.h"  // the updater's open flags
#include "scoped_handles.h"
#include "texts.h"

namespace {

constexpr DWORD kChunkBytes = 4096;
constexpr DWORD kMd5Bytes = 16;

std::string ToUtf8(const std::wstring& text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return std::string();
    std::string out(n - 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], n, nullptr, nullptr);
    return out;
}

std::wstring FromUtf8(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
    return out;
}

// Names the failed call and its error on standard error; always false, for "return Fail(...)".
bool Fail(const char* call, const std::wstring& subject) {
    const DWORD error = GetLastError();
    fprintf(stderr, "recipes: %s failed for %s (error %lu)\n", call, ToUtf8(subject).c_str(), error);
    return false;
}

// The non-empty lines of a UTF-8 file; false when it cannot be read.
bool ReadLines(const wchar_t* path, std::vector<std::wstring>* lines) {
    FILE* file = _wfopen(path, L"rb");
    if (!file) return Fail("_wfopen", path);
    std::string line;
    int c;
    while ((c = fgetc(file)) != EOF) {
        if (c != '\n') {
            line += static_cast<char>(c);
            continue;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines->push_back(FromUtf8(line));
        line.clear();
    }
    if (!line.empty()) lines->push_back(FromUtf8(line));
    fclose(file);
    return true;
}

LARGE_INTEGER Now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now;
}

double MsBetween(const LARGE_INTEGER& start, const LARGE_INTEGER& end) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// The asynchronous mode's one call in flight: its completion, as the status callback reports it.
struct AsyncCall {
    HANDLE completed;
    INTERNET_ASYNC_RESULT result;
};
AsyncCall g_call;

void CALLBACK OnStatus(HINTERNET, DWORD_PTR, DWORD status, void* info, DWORD) {
    if (status != INTERNET_STATUS_REQUEST_COMPLETE) return;
    g_call.result = *static_cast<INTERNET_ASYNC_RESULT*>(info);
    SetEvent(g_call.completed);
}

// After a call answered ERROR_IO_PENDING: its result, once it completed.
bool AwaitCall(DWORD_PTR* result) {
    if (GetLastError() != ERROR_IO_PENDING || WaitForSingleObject(g_call.completed, 60000) != WAIT_OBJECT_0)
        return false;
    *result = g_call.result.dwResult;
    return true;
}

HINTERNET OpenUrl(HINTERNET internet, const std::wstring& url, bool async) {
    DWORD_PTR opened =
        reinterpret_cast<DWORD_PTR>(InternetOpenUrlW(internet, url.c_str(), nullptr, 0, kOpenUrlFlags, async));
    if (!opened && async && !AwaitCall(&opened)) return nullptr;
    return reinterpret_cast<HINTERNET>(opened);
}

// The next chunk of the body: 4 KiB, fewer only at its end (0 when it is over). Asynchronous, as
// the updater reads: what has arrived at once (IRF_NO_WAIT), a wait only when nothing has.
bool ReadChunk(HINTERNET request, bool async, char* buffer, DWORD* got) {
    if (!async) return InternetReadFile(request, buffer, kChunkBytes, got);
    *got = 0;
    for (;;) {
        INTERNET_BUFFERSA buffers = {};
        buffers.dwStructSize = sizeof(buffers);
        buffers.lpvBuffer = buffer + *got;
        buffers.dwBufferLength = kChunkBytes - *got;
        if (InternetReadFileExA(request, &buffers, IRF_NO_WAIT, 1)) {
            *got += buffers.dwBufferLength;
            if (buffers.dwBufferLength == 0 || *got == kChunkBytes) return true;
            continue;
        }
        DWORD_PTR done = 0;
        if (!AwaitCall(&done) || !done) return false;
    }
}

// One URL into one file, read and written in 4 KiB chunks.
bool DownloadOne(HINTERNET internet, const std::wstring& url, const std::wstring& path, bool async,
                 unsigned long long* bytes) {
    const ScopedInternet request(OpenUrl(internet, url, async));
    if (!request.Valid()) return Fail("InternetOpenUrlW", url);
    const ScopedHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) return Fail("CreateFileW", path);
    char buffer[kChunkBytes];
    for (;;) {
        DWORD got = 0;
        if (!ReadChunk(request.Get(), async, buffer, &got)) return Fail("InternetReadFile", url);
        if (got == 0) return true;
        DWORD written = 0;
        if (!WriteFile(file.Get(), buffer, got, &written, nullptr) || written != got) return Fail("WriteFile", path);
        *bytes += got;
    }
}

int Download(const std::vector<std::wstring>& lines, bool async) {
    std::vector<std::wstring> urls, paths;
    for (const std::wstring& line : lines) {
        const size_t tab = line.find(L'\t');
        if (tab == std::wstring::npos) {
            fprintf(stderr, "recipes: no tab in line: %s\n", ToUtf8(line).c_str());
            return 2;
        }
        urls.push_back(line.substr(0, tab));
        paths.push_back(line.substr(tab + 1));
    }

    HINTERNET internet =
        InternetOpenW(kAgentName, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, async ? INTERNET_FLAG_ASYNC : 0);
    if (!internet) {
        Fail("InternetOpenW", kAgentName);
        return 1;
    }
    if (async) {
        g_call.completed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        InternetSetStatusCallbackW(internet, OnStatus);
    }
    unsigned long long bytes = 0;
    bool ok = urls.empty() || DownloadOne(internet, urls[0], paths[0], async, &bytes);  // the connection, untimed
    bytes = 0;
    const LARGE_INTEGER start = Now();
    for (size_t i = 0; i < urls.size() && ok; ++i) ok = DownloadOne(internet, urls[i], paths[i], async, &bytes);
    InternetCloseHandle(internet);
    const double ms = MsBetween(start, Now());
    if (!ok) return 1;

    printf("bytes=%llu\nms=%.1f\n", bytes, ms);
    return 0;
}

// The MD5 digest of one file (16 bytes into digest), with a hash of its own from the shared context.
bool HashOne(HCRYPTPROV context, const std::wstring& path, BYTE* digest, unsigned long long* bytes) {
    HCRYPTHASH rawHash = 0;
    if (!CryptCreateHash(context, CALG_MD5, 0, 0, &rawHash)) return Fail("CryptCreateHash", path);
    const ScopedCryptHash hash(rawHash);
    {
        const ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!file.Valid()) return Fail("CreateFileW", path);
        BYTE buffer[kChunkBytes];
        DWORD got = 0;
        for (;;) {
            if (!ReadFile(file.Get(), buffer, kChunkBytes, &got, nullptr)) return Fail("ReadFile", path);
            if (got == 0) break;
            if (!CryptHashData(hash.Get(), buffer, got, 0)) return Fail("CryptHashData", path);
            *bytes += got;
        }
    }  // the file is closed before the hash value is read, as in the updater
    DWORD length = kMd5Bytes;
    return CryptGetHashParam(hash.Get(), HP_HASHVAL, digest, &length, 0) || Fail("CryptGetHashParam", path);
}

bool WriteDigests(const wchar_t* path, const std::vector<BYTE>& digests) {
    FILE* out = _wfopen(path, L"wb");
    if (!out) return Fail("_wfopen", path);
    for (size_t i = 0; i < digests.size(); ++i) {
        fprintf(out, "%02x", digests[i]);
        if (i % kMd5Bytes == kMd5Bytes - 1) fputc('\n', out);
    }
    fclose(out);
    return true;
}

int Md5(const std::vector<std::wstring>& paths, const wchar_t* digestFile) {
    std::vector<BYTE> digests(paths.size() * kMd5Bytes);

    const LARGE_INTEGER start = Now();
    HCRYPTPROV context = 0;
    if (!CryptAcquireContextW(&context, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
        Fail("CryptAcquireContextW", L"PROV_RSA_FULL");
        return 1;
    }
    unsigned long long bytes = 0;
    bool ok = true;
    for (size_t i = 0; i < paths.size() && ok; ++i) ok = HashOne(context, paths[i], &digests[i * kMd5Bytes], &bytes);
    CryptReleaseContext(context, 0);
    const double ms = MsBetween(start, Now());
    if (!ok) return 1;
    if (digestFile && !WriteDigests(digestFile, digests)) return 1;

    printf("files=%u\nbytes=%llu\nms=%.1f\n", static_cast<unsigned>(paths.size()), bytes, ms);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // Plain LF line ends: the script that reads these lines runs on Linux.
    _setmode(_fileno(stdout), _O_BINARY);
    const bool async = argc == 3 && wcscmp(argv[1], L"download-async") == 0;
    const bool download = async || (argc == 3 && wcscmp(argv[1], L"download") == 0);
    const bool md5 = (argc == 3 || argc == 4) && wcscmp(argv[1], L"md5") == 0;
    if (!download && !md5) {
        fprintf(stderr, "usage: recipes.exe download|download-async LISTFILE | "
                        "recipes.exe md5 LISTFILE [DIGESTFILE]\n");
        return 2;
    }
    std::vector<std::wstring> lines;
    if (!ReadLines(argv[2], &lines)) return 1;
    return download ? Download(lines, async) : Md5(lines, argc == 4 ? argv[3] : nullptr);
}
