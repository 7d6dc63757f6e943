// Decides by MD5 content alone whether an entry's file on disk is current.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include "manifest_reader.h"
#include "scoped_handles.h"

// Sets or clears kUpToDateBit of entry->flags (other bits untouched) and returns the same answer.
// *context is the caller's cryptographic context: acquired here when it is 0 and then kept for
// the next checks (the caller releases it); when it cannot be acquired the file counts as stale.
bool VerifyFile(FileEntry* entry, HCRYPTPROV* context);

// The same check for a file being downloaded, made on its bytes as they are written: reading the
// file back would cost, for a small file, more than its transfer. A digest that could not be made
// (the hash service failed) counts as stale.
struct WrittenDigest {
    ScopedCryptHash hash;
};
void StartDigest(WrittenDigest* digest, HCRYPTPROV* context);
void AddToDigest(WrittenDigest* digest, const void* bytes, DWORD length);
// Sets or clears kUpToDateBit as VerifyFile does, from every byte added.
bool VerifyDigest(FileEntry* entry, WrittenDigest* digest);
