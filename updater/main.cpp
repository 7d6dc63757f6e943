// Entry point: one copy per logon session, one internet session, one update run.
#include <windows.h>
#include <commctrl.h>
#include <wininet.h>

#include "internet.h"
#include "scoped_handles.h"
#include "session.h"
#include "texts.h"
#include "update_run.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    // No namespace prefix: the name is local to the logon session.
    ScopedHandle mutex(CreateMutexW(nullptr, TRUE, kMutexName));
    if (mutex.Valid() && GetLastError() == ERROR_ALREADY_EXISTS) return 1;

    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);

    UpdateSession session = {};
    session.instance = instance;
    session.internet = OpenInternetSession();

    const int result = RunUpdate(&session);

    mutex.Reset();
    if (session.internet) {
        CloseInternetSession(session.internet);
        session.internet = nullptr;
    }
    if (session.crypt) {
        CryptReleaseContext(session.crypt, 0);
        session.crypt = 0;
    }
    session.reader.entries.clear();
    session.reader.entries.shrink_to_fit();
    return result;
}
