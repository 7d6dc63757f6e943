// The state of one update run, owned by the entry point.
#pragma once

#include <windows.h>
#include <wincrypt.h>
#include <wininet.h>

#include <cstdint>

#include "manifest_reader.h"
#include "progress_bar.h"

constexpr uint32_t kCancelBit = 0x1;

struct UpdateSession {
    uint32_t flags;      // bit 0: cancel requested
    HINSTANCE instance;  // loads the dialog template
    HINTERNET internet;  // null when InternetOpenW failed
    HWND dialog;         // the progress dialog, null while none exists
    HWND bar;            // its progress bar, looked up once: under Wine every lookup asks the wine server
    BarSteps barSteps;   // the bar's record while it is throttled
    LONGLONG nextPump;   // the performance counter's count from which a transfer pumps messages again
    int64_t totalBytes;
    int64_t doneBytes;
    ManifestReader reader;
    // One MD5 context for every check of the run, acquired by the first: under Wine acquiring a
    // context costs more than checking a small file. Each check still makes its own hash object.
    HCRYPTPROV crypt;  // 0 until acquired
};
