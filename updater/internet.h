// The updater's WinINet session. It is asynchronous so that no network call can hold the program:
// every wait for the server ends after the network time-out, and while a dialog is up it keeps
// answering its user (a cancel ends the wait at once).
#pragma once

#include <windows.h>
#include <wininet.h>

struct UpdateSession;

// Every read asks for this much; a shorter chunk only ends a body.
constexpr DWORD kChunkBytes = 4096;

// Null when the session cannot be opened.
HINTERNET OpenInternetSession();
// Also closes the request of a cancelled transfer, and then returns at once: see internet.cpp.
void CloseInternetSession(HINTERNET internet);

struct ReadArea;

// One URL being fetched; closed on every path by its destructor, or when the run was cancelled,
// by CloseInternetSession.
struct UrlRequest {
    HINTERNET handle = nullptr;
    ReadArea* area = nullptr;
    const UpdateSession* session = nullptr;  // set by OpenUrl
    UrlRequest() = default;
    UrlRequest(const UrlRequest&) = delete;
    UrlRequest& operator=(const UrlRequest&) = delete;
    ~UrlRequest();
};

// Redirects followed for one URL at most, as WinINet documents for its own: a loop ends there.
constexpr int kMaxRedirects = 5;

// Sends the request and waits for the answer's headers, following redirects (301, 302, 303, 307,
// 308) to HTTPS, and from HTTP to HTTP; a redirect from HTTPS to anything else is refused before
// anything is sent to its target. False when the URL cannot be opened, a redirect is refused or one
// too many, no byte came within the time-out (on any hop), or (pump) the user cancelled meanwhile.
bool OpenUrl(UpdateSession* session, const wchar_t* url, bool pump, UrlRequest* request);

// The next chunk of the body into *data: kChunkBytes, fewer only at its end (0 when it is over).
// False on a failed connection, a time-out without a byte, or (pump) a cancel.
bool ReadChunk(UpdateSession* session, UrlRequest* request, bool pump, const char** data, DWORD* got);
