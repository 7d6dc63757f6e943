// cancel_watch.dll: a WH_CALLWNDPROC hook that drive_updater.exe puts on the updater's thread. The
// run ends moments after Cancel is greyed, often before a look from outside could see the button
// disabled; the hook sees the WM_ENABLE that EnableWindow sends, inside the program, and sets the
// driver's event.
#include <cwchar>

#include "cancel_watch.h"

extern "C" __declspec(dllexport) LRESULT CALLBACK CancelWatchProc(int code, WPARAM wParam, LPARAM lParam) {
    const CWPSTRUCT* sent = reinterpret_cast<const CWPSTRUCT*>(lParam);
    // Only the dialog's button has this id: a message box's button is never disabled, and a
    // top-level window's id is its menu, which the dialog has none of.
    if (code == HC_ACTION && sent->message == WM_ENABLE && !sent->wParam && GetDlgCtrlID(sent->hwnd) == IDCANCEL) {
        wchar_t name[64];
        swprintf(name, 64, kCancelGreyedEvent, GetCurrentProcessId());
        const HANDLE greyed = OpenEventW(EVENT_MODIFY_STATE, FALSE, name);
        if (greyed) {
            SetEvent(greyed);
            CloseHandle(greyed);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
