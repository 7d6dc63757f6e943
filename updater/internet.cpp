#include "internet.h"

#include <new>
#include <string>

#include "download.h"
#include "message_pump.h"
#include "session.h"
#include "texts.h"

// The chunk buffer of one request. A read given up on may still complete into it later, so such
// an area is never freed or reused: it is left to that read (a few KiB per stalled transfer).
struct ReadArea {
    // The ANSI form: Windows long left the wide read unimplemented, and a body carries no text.
    INTERNET_BUFFERSA buffers;
    char data[kChunkBytes];
};

namespace {

// What WinINet's status callback shares with the program's thread. The callback runs on WinINet's
// threads, and for a call that was given up on it may still run at any time until the process
// ends: so this lives as long as the process, and the callback acts only for the transfer in
// progress, recognised by its context.
struct CallState {
    CRITICAL_SECTION lock;
    HANDLE completed;          // auto-reset: the awaited call completed
    DWORD_PTR transfer;        // context of the transfer in progress, 0 while none
    DWORD_PTR lastTransfer;
    bool awaiting;             // a call of that transfer may complete asynchronously
    bool signalled;            // completed is set and no wait has taken it yet
    INTERNET_ASYNC_RESULT result;
    HINTERNET request;         // that transfer's request, from the moment WinINet makes it
    HINTERNET cancelled;       // the request of a cancelled transfer, closed with the session
    HINTERNET internet;        // the session, while a thread of its own closes it
};
CallState g_calls;

// Connection handles are WinINet's own business; a request (or file) handle is the caller's.
bool IsRequestHandle(HINTERNET handle) {
    DWORD type = 0;
    DWORD size = sizeof(type);
    return InternetQueryOptionW(handle, INTERNET_OPTION_HANDLE_TYPE, &type, &size) &&
           type > INTERNET_HANDLE_TYPE_CONNECT_HTTP;
}

void CALLBACK OnStatus(HINTERNET, DWORD_PTR context, DWORD status, void* info, DWORD) {
    if (status != INTERNET_STATUS_HANDLE_CREATED && status != INTERNET_STATUS_REQUEST_COMPLETE) return;
    // Asked outside the lock: nothing of WinINet's is called while it is held.
    const HINTERNET created = status == INTERNET_STATUS_HANDLE_CREATED ? *static_cast<HINTERNET*>(info) : nullptr;
    const bool isRequest = created && IsRequestHandle(created);
    HINTERNET orphan = nullptr;
    EnterCriticalSection(&g_calls.lock);
    const bool current = context != 0 && context == g_calls.transfer;
    if (isRequest) {
        (current ? g_calls.request : orphan) = created;
    } else if (status == INTERNET_STATUS_REQUEST_COMPLETE && current && g_calls.awaiting) {
        g_calls.result = *static_cast<INTERNET_ASYNC_RESULT*>(info);
        g_calls.awaiting = false;
        g_calls.signalled = true;
        SetEvent(g_calls.completed);
    }
    LeaveCriticalSection(&g_calls.lock);
    // Made for a transfer given up on before its handle was known: nobody else can close it.
    if (orphan) InternetCloseHandle(orphan);
}

// With the lock held: takes back a completion that no wait took. Usually there is none, and the
// call to the wine server is skipped.
void ClearSignal() {
    if (g_calls.signalled) ResetEvent(g_calls.completed);
    g_calls.signalled = false;
}

void BeginCall() {
    EnterCriticalSection(&g_calls.lock);
    g_calls.awaiting = true;
    LeaveCriticalSection(&g_calls.lock);
}

// After a call that answered at once: a completion reported for it as well must not wake the next wait.
void EndCall() {
    EnterCriticalSection(&g_calls.lock);
    ClearSignal();
    g_calls.awaiting = false;
    LeaveCriticalSection(&g_calls.lock);
}

// Waits for the call that answered ERROR_IO_PENDING. False on a time-out or a cancel: the call is
// then left under way, and closing the request gives it up.
bool AwaitCall(UpdateSession* session, bool pump, INTERNET_ASYNC_RESULT* result) {
    if (WaitPumping(session, g_calls.completed, kNetworkTimeoutMs, pump) != WaitResult::kSignalled) return false;
    EnterCriticalSection(&g_calls.lock);
    *result = g_calls.result;
    g_calls.signalled = false;  // the wait took it
    LeaveCriticalSection(&g_calls.lock);
    return true;
}

bool IsRedirect(HINTERNET request) {
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr))
        return false;  // not an HTTP answer
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// The Location of a redirect answer resolved against from, the URL that was asked for.
bool RedirectTarget(HINTERNET request, const wchar_t* from, std::wstring* to) {
    std::wstring location(512, L'\0');
    DWORD bytes = static_cast<DWORD>(location.size() * sizeof(wchar_t));
    if (!HttpQueryInfoW(request, HTTP_QUERY_LOCATION, &location[0], &bytes, nullptr)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
        location.resize(bytes / sizeof(wchar_t) + 1);
        bytes = static_cast<DWORD>(location.size() * sizeof(wchar_t));
        if (!HttpQueryInfoW(request, HTTP_QUERY_LOCATION, &location[0], &bytes, nullptr)) return false;
    }
    location.resize(bytes / sizeof(wchar_t));
    // Spaces only are encoded, as WinINet does when it follows a redirect itself.
    to->assign(lstrlenW(from) + location.size() + 64, L'\0');
    DWORD length = static_cast<DWORD>(to->size());
    if (!InternetCombineUrlW(from, location.c_str(), &(*to)[0], &length, ICU_ENCODE_SPACES_ONLY)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
        to->assign(length + 1, L'\0');
        length = static_cast<DWORD>(to->size());
        if (!InternetCombineUrlW(from, location.c_str(), &(*to)[0], &length, ICU_ENCODE_SPACES_ONLY)) return false;
    }
    to->resize(lstrlenW(to->c_str()));
    return !to->empty();
}

// The scheme as WinINet reads it, so the check below sees what the next open would use.
INTERNET_SCHEME SchemeOf(const wchar_t* url) {
    URL_COMPONENTSW parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.dwSchemeLength = 1;
    return InternetCrackUrlW(url, 0, 0, &parts) ? parts.nScheme : INTERNET_SCHEME_UNKNOWN;
}

// What was asked for over HTTPS is never taken from plain HTTP; nothing leaves HTTP(S) either.
bool MayFollow(const wchar_t* from, const wchar_t* to) {
    const INTERNET_SCHEME next = SchemeOf(to);
    return next == INTERNET_SCHEME_HTTPS || (next == INTERNET_SCHEME_HTTP && SchemeOf(from) == INTERNET_SCHEME_HTTP);
}

// Closing a request whose body is still arriving can take as long as the rest of the body: Wine's
// WinINet first reads all of it that has already arrived, to keep the connection, and when bytes
// come faster than it reads, that is all of it (Windows discards it). So the closes of a cancelled
// run are made here, on a thread that the process does not wait for: when the program ends
// first, the connection ends with it, and the server stops sending.
DWORD WINAPI CloseCancelled(void*) {
    InternetCloseHandle(g_calls.cancelled);
    InternetCloseHandle(g_calls.internet);
    return 0;
}

}  // namespace

HINTERNET OpenInternetSession() {
    // Never deleted: a late callback may take it until the process ends.
    InitializeCriticalSection(&g_calls.lock);
    g_calls.completed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!g_calls.completed) return nullptr;
    // Direct connections only, whatever proxy the system names.
    const HINTERNET internet =
        InternetOpenW(kAgentName, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, INTERNET_FLAG_ASYNC);
    if (!internet) return nullptr;
    if (InternetSetStatusCallbackW(internet, OnStatus) == INTERNET_INVALID_STATUS_CALLBACK) {
        InternetCloseHandle(internet);
        return nullptr;
    }
    // Windows applies these to connecting and sending too; the waits below bound everything else.
    const DWORD options[] = {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                             INTERNET_OPTION_RECEIVE_TIMEOUT};
    DWORD timeout = kNetworkTimeoutMs;
    for (DWORD option : options) InternetSetOptionW(internet, option, &timeout, sizeof(timeout));
    return internet;
}

void CloseInternetSession(HINTERNET internet) {
    EnterCriticalSection(&g_calls.lock);
    g_calls.transfer = 0;
    if (g_calls.completed) CloseHandle(g_calls.completed);
    g_calls.completed = nullptr;
    LeaveCriticalSection(&g_calls.lock);
    // The session goes with the request, after it: closing it first would close the request too,
    // here, and closing both at once is a race inside WinINet.
    if (g_calls.cancelled) {
        g_calls.internet = internet;
        const HANDLE closer = CreateThread(nullptr, 0, CloseCancelled, nullptr, 0, nullptr);
        if (closer) {
            CloseHandle(closer);
            return;
        }
        InternetCloseHandle(g_calls.cancelled);
    }
    InternetCloseHandle(internet);
}

UrlRequest::~UrlRequest() {
    EnterCriticalSection(&g_calls.lock);
    const HINTERNET made = g_calls.request;
    g_calls.transfer = 0;  // whatever still comes for this transfer is ignored
    g_calls.awaiting = false;
    g_calls.request = nullptr;
    LeaveCriticalSection(&g_calls.lock);
    // Closing a request also gives up the call under way on it. A cancelled transfer's request stays
    // open, unread, until CloseInternetSession leaves it to CloseCancelled; a cancelled run opens no other.
    const HINTERNET open = handle ? handle : made;
    if (open && session && (session->flags & kCancelBit)) {
        g_calls.cancelled = open;
    } else if (open) {
        InternetCloseHandle(open);
    }
    delete area;
}

// One request, redirects not followed. Each gets a transfer (a context) of its own.
static bool OpenOnce(UpdateSession* session, const wchar_t* url, bool pump, UrlRequest* request) {
    if (!request->area) request->area = new (std::nothrow) ReadArea;
    if (!request->area) return false;
    EnterCriticalSection(&g_calls.lock);
    if (++g_calls.lastTransfer == 0) ++g_calls.lastTransfer;  // 0 is no transfer
    g_calls.transfer = g_calls.lastTransfer;
    g_calls.request = nullptr;
    g_calls.awaiting = true;
    ClearSignal();  // left over when a wait gave up just as its call completed
    const DWORD_PTR context = g_calls.transfer;
    LeaveCriticalSection(&g_calls.lock);

    request->handle = InternetOpenUrlW(session->internet, url, nullptr, 0, kOpenUrlFlags, context);
    if (request->handle || GetLastError() != ERROR_IO_PENDING) {
        EndCall();
        return request->handle != nullptr;
    }
    INTERNET_ASYNC_RESULT result;
    if (!AwaitCall(session, pump, &result)) return false;
    request->handle = reinterpret_cast<HINTERNET>(result.dwResult);
    return request->handle != nullptr;
}

bool OpenUrl(UpdateSession* session, const wchar_t* url, bool pump, UrlRequest* request) {
    request->session = session;
    std::wstring current = url;
    for (int redirects = 0;; ++redirects) {
        if (!OpenOnce(session, current.c_str(), pump, request)) return false;
        if (!IsRedirect(request->handle)) return true;  // the caller checks the status of the answer
        std::wstring next;
        if (redirects == kMaxRedirects || !RedirectTarget(request->handle, current.c_str(), &next) ||
            !MayFollow(current.c_str(), next.c_str()))
            return false;
        // Its open completed, so nothing of this answer is under way. Closing it keeps the connection
        // for the next request when the answer's short body is in; the next open forgets the handle.
        InternetCloseHandle(request->handle);
        request->handle = nullptr;
        current.swap(next);
    }
}

bool ReadChunk(UpdateSession* session, UrlRequest* request, bool pump, const char** data, DWORD* got) {
    INTERNET_BUFFERSA& buffers = request->area->buffers;
    DWORD filled = 0;
    while (filled < kChunkBytes) {
        buffers = {};
        buffers.dwStructSize = sizeof(buffers);
        buffers.lpvBuffer = request->area->data + filled;
        buffers.dwBufferLength = kChunkBytes - filled;
        // IRF_NO_WAIT takes what has arrived; only when nothing has does the call go pending.
        BeginCall();
        if (InternetReadFileExA(request->handle, &buffers, IRF_NO_WAIT, g_calls.transfer)) {
            EndCall();
            if (buffers.dwBufferLength == 0) break;  // the end of the body
            filled += buffers.dwBufferLength;
            continue;
        }
        if (GetLastError() != ERROR_IO_PENDING) {
            EndCall();
            return false;
        }
        INTERNET_ASYNC_RESULT result;
        if (!AwaitCall(session, pump, &result)) {
            request->area = nullptr;  // left to the read still under way
            return false;
        }
        if (!result.dwResult) return false;
    }
    *data = request->area->data;
    *got = filled;
    return true;
}
