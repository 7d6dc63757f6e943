// The thread's message pump: how the progress dialog paints, answers its input and gets its
// timers while the updater downloads.
#pragma once

#include <windows.h>

struct UpdateSession;

// Delivers every waiting message of the thread, each offered to the dialog first. False when the
// transfer must stop: the user cancelled, or the thread was asked to quit (counted as a cancel).
bool PumpMessages(UpdateSession* session);

// While bytes flow, the messages are delivered at most this often. Under Wine a look at an empty
// queue costs a round trip to the wine server and a read of the X connection, more than receiving
// a 4 KiB chunk; so no message waits longer than this (and one chunk) for the pump.
constexpr DWORD kPumpPeriodMs = 5;

// PumpMessages, once kPumpPeriodMs have passed since the last pump; otherwise only whether the
// transfer may go on (nothing can have cancelled it since).
bool PumpMessagesWhenDue(UpdateSession* session);

enum class WaitResult { kSignalled, kTimedOut, kCancelled };

// Waits for event at most milliseconds. With pump, the thread's messages are delivered meanwhile,
// so the dialog keeps painting and a cancel ends the wait at once.
WaitResult WaitPumping(UpdateSession* session, HANDLE event, DWORD milliseconds, bool pump);
