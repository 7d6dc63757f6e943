// Fetching one URL into one local file over the session's WinINet handle.
#pragma once

#include <windows.h>
#include <wininet.h>

struct UpdateSession;
struct WrittenBytes;

// Always a fresh copy from the server: nothing read from or written to the cache, no cookies.
// Redirects are followed by the program itself (OpenUrl), which never leaves HTTPS for HTTP: Wine
// follows a redirect from HTTPS to plain HTTP. Do NOT drop INTERNET_FLAG_NO_AUTO_REDIRECT.
constexpr DWORD kOpenUrlFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_COOKIES |
                                INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_NO_AUTO_REDIRECT;
static_assert(kOpenUrlFlags == 0x84280100, "open flags changed");

// Creates every missing folder above relativePath. Non-zero when that folder exists afterwards.
BOOL EnsureParentDirectory(const wchar_t* relativePath);

// 1 when the transfer ended normally and the file is in place, 0 otherwise (the previous file,
// if any, is then left untouched). With progress on, counts bytes, moves the bar and pumps messages.
// kept, when not null, keeps what it can of the bytes written, for the check that follows.
int DownloadToFile(UpdateSession* session, const wchar_t* url, const wchar_t* localPath, int progress,
                   WrittenBytes* kept = nullptr);
