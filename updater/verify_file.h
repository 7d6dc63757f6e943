// Decides by MD5 content alone whether an entry's file on disk is current.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include "manifest_reader.h"

// Sets or clears kUpToDateBit of entry->flags (other bits untouched) and returns the same answer.
// *context is the caller's cryptographic context: acquired here when it is 0 and then kept for
// the next checks (the caller releases it); when it cannot be acquired the file counts as stale.
bool VerifyFile(FileEntry* entry, HCRYPTPROV* context);

// Whether MD5 hashing works at all: acquires *context when it is 0 and makes one MD5 object.
// 0 when it does, else the system's error code (a missing crypto provider is no file's fault).
DWORD CheckHashService(HCRYPTPROV* context);

// The same check for a file just downloaded. A small file is checked on the bytes written into it,
// kept in memory as they pass: reading it back would cost more than its transfer. A larger one is
// read back once complete: hashing it while it arrives slows its transfer by more than the hashing.
struct WrittenBytes {
    BYTE data[64 * 1024];
    DWORD size;
    bool whole;  // data holds every byte written
};
void StartWrittenBytes(WrittenBytes* written);
void KeepWrittenBytes(WrittenBytes* written, const void* bytes, DWORD length);
bool VerifyDownloadedFile(FileEntry* entry, const WrittenBytes* written, HCRYPTPROV* context);
