// What drive_updater.exe shares with cancel_watch.dll, the hook it puts into the updater it starts.
#pragma once

#include <windows.h>

constexpr wchar_t kCancelWatchDll[] = L"cancel_watch.dll";  // beside drive_updater.exe
constexpr char kCancelWatchProc[] = "CancelWatchProc";
// A manual-reset event, made by the driver before the program runs; %lu: the program's process id.
constexpr wchar_t kCancelGreyedEvent[] = L"drive_updater.cancel_greyed.%lu";
