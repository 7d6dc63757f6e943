#include "download.h"

#include "session.h"

BOOL EnsureParentDirectory(const wchar_t*) { return FALSE; }

int DownloadToFile(UpdateSession*, const wchar_t*, const wchar_t*, int) { return 0; }

void SetNetworkTimeouts(HINTERNET, DWORD) {}
