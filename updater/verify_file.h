// Decides by MD5 content alone whether an entry's file on disk is current.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include "manifest_reader.h"

// Sets or clears kUpToDateBit of entry->flags (other bits untouched) and returns the same answer.
// *context is the caller's cryptographic context: acquired here when it is 0 and then kept for
// the next checks (the caller releases it); when it cannot be acquired the file counts as stale.
bool VerifyFile(FileEntry* entry, HCRYPTPROV* context);
