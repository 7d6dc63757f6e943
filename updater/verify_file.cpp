// MD5 check of one manifest entry's file on disk, through CryptoAPI.
#include "verify_file.h"

#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <cwchar>

#include "scoped_handles.h"

namespace {

constexpr DWORD kReadChunkBytes = 4096;
constexpr DWORD kMd5Bytes = 16;

// A context with no key container, good for hashing only. A failed call leaves *context 0.
bool AcquireHashContext(HCRYPTPROV* context) {
    if (*context) return true;
    HCRYPTPROV acquired = 0;
    if (!CryptAcquireContextW(&acquired, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) return false;
    *context = acquired;
    return true;
}

// Hashes the whole file into digestText (lowercase hex). False when the file cannot be opened
// or read to its end, or the hash service fails: the file then counts as stale.
bool ComputeFileDigest(HCRYPTPROV context, const wchar_t* path, wchar_t (&digestText)[64]) {
    // Acquired into a plain handle first: a failed call leaves nothing to release.
    HCRYPTHASH rawHash = 0;
    if (!CryptCreateHash(context, CALG_MD5, 0, 0, &rawHash)) return false;
    ScopedCryptHash hash(rawHash);

    // Read sharing only: a file that someone is still writing is not current.
    ScopedHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file.Valid()) return false;

    BYTE buffer[kReadChunkBytes];
    DWORD got = 0;
    BOOL read;
    while ((read = ReadFile(file.Get(), buffer, kReadChunkBytes, &got, nullptr)) && got > 0)
        if (!CryptHashData(hash.Get(), buffer, got, 0)) return false;
    file.Reset();
    // A read that fails part-way must not let the digest of a partial file pass.
    if (!read) return false;

    DWORD length = kReadChunkBytes;
    if (!CryptGetHashParam(hash.Get(), HP_HASHVAL, buffer, &length, 0)) return false;
    // Never more than 32 digits, whatever length the hash service reports.
    length = std::min(length, kMd5Bytes);
    digestText[0] = L'\0';
    for (DWORD i = 0; i < length; ++i) _snwprintf(digestText + 2 * i, 3, L"%02x", buffer[i]);
    return true;
}

}  // namespace

bool VerifyFile(FileEntry* entry, HCRYPTPROV* context) {
    wchar_t digestText[64];
    const bool current = AcquireHashContext(context) && ComputeFileDigest(*context, entry->path.c_str(), digestText) &&
                         _wcsicmp(entry->md5.c_str(), digestText) == 0;
    if (current)
        entry->flags |= kUpToDateBit;
    else
        entry->flags &= ~kUpToDateBit;
    return current;
}
