// Fixed names and every text the updater writes: log lines, message boxes, dialog texts.
#pragma once

#include <windows.h>

// Single instance and internet session.
constexpr wchar_t kMutexName[] = L"VESK.DIROvuduza";
constexpr wchar_t kAgentName[] = L"RAD_ERID_Oduvire";

// Files, relative to the working directory.
constexpr wchar_t kLogPath[] = L"Updater\\log_updater.lst";
constexpr wchar_t kManifestPath[] = L"Updater\\manifest.xml";

// Set per build (see build_config.cpp): the manifest URL and the network time-out.
extern const wchar_t kManifestUrl[];
extern const DWORD kNetworkTimeoutMs;

// Message boxes and dialog.
constexpr wchar_t kCaption[] = L"DOD OVOD Urade Zuzerur";
constexpr wchar_t kBoxUpdateFailed[] =
    L"Impossible de telecharger les mise \u00e0 jour.\r\n\r\n"
    L"V\u00e9rifiez votre connexion internet, ou ressayez plus tard.";
constexpr wchar_t kBoxNoUpdate[] = L"Pas de mise \u00e0 jour.";
constexpr wchar_t kBoxUpdateDone[] = L"Mise \u00e0 jour termin\u00e9e.";
constexpr wchar_t kStatusUpdating[] = L"Mise \u00e0 jour...";
constexpr wchar_t kStatusDone[] = L"Mise \u00e0 jour termin\u00e9e.";
constexpr wchar_t kStatusFailed[] = L"Mise \u00e0 jour \u00e9chou\u00e9e.";
constexpr wchar_t kAmountFormat[] = L"%.2f MB of %.2f MB";

// Run log lines (%ls: a wide string, written to the log as UTF-8).
constexpr wchar_t kLogCreatedDirectory[] = L"[ OK ] Created directory: \"%ls\"";
constexpr wchar_t kLogDownloadingManifest[] = L"[ OK ] Downloading update manifest file.";
constexpr wchar_t kLogFailedToOpen[] = L"[FAIL] Failed to open file \"%ls\".";
constexpr wchar_t kLogManifestValid[] = L"[ OK ] Update manifest file is valid.";
constexpr wchar_t kLogNoUpdate[] = L"[ OK ] No update required.";
constexpr wchar_t kLogDownloading[] = L"[ OK ] Downloading \"%ls\" from \"%ls\"";
constexpr wchar_t kLogUserCancelled[] = L"[ OK ] User cancelled update.";
constexpr wchar_t kLogDownloadError[] = L"[FAIL] Error during the download of \"%ls\".";
constexpr wchar_t kLogValidateError[] = L"[FAIL] Error during the validate of \"%ls\".";
constexpr wchar_t kLogInvalidManifest[] = L"[FAIL] Invalid or no update manifest. Aborting.";
// No file can be checked at all: the system's MD5 service is missing (error code in hex).
constexpr wchar_t kLogNoHashService[] = L"[FAIL] MD5 hashing is not available (error 0x%08lx). Aborting.";
