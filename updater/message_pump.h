// The thread's message pump: how the progress dialog paints, answers its input and gets its
// timers while the updater downloads.
#pragma once

#include <windows.h>

struct UpdateSession;

// Delivers every waiting message of the thread, each offered to the dialog first. False when the
// transfer must stop: the user cancelled, or the thread was asked to quit (counted as a cancel).
bool PumpMessages(UpdateSession* session);

enum class WaitResult { kSignalled, kTimedOut, kCancelled };

// Waits for event at most milliseconds. With pump, the thread's messages are delivered meanwhile,
// so the dialog keeps painting and a cancel ends the wait at once.
WaitResult WaitPumping(UpdateSession* session, HANDLE event, DWORD milliseconds, bool pump);
