// Resource and control identifiers of updater.exe.
#pragma once

#define IDD_PROGRESS 1
#define IDI_UPDATER 1
#define IDC_PROGRESS_BAR 101
#define IDC_STATUS_TEXT 102
#define IDC_AMOUNT_TEXT 103
#define IDT_REFRESH 1
#define IDT_BAR_DRAW 2
