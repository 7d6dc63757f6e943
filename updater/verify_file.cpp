// MD5 check of one manifest entry's file on disk, through CryptoAPI.
#include "verify_file.h"

#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstring>
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

bool CreateMd5(HCRYPTPROV context, ScopedCryptHash* hash) {
    // Acquired into a plain handle first: a failed call leaves nothing to release.
    HCRYPTHASH rawHash = 0;
    if (!CryptCreateHash(context, CALG_MD5, 0, 0, &rawHash)) return false;
    hash->Reset(rawHash);
    return true;
}

// Hashes the whole file. False when it cannot be opened or read to its end, or the hash service
// fails: the file then counts as stale.
bool HashFile(HCRYPTHASH hash, const wchar_t* path) {
    // Read sharing only: a file that someone is still writing is not current.
    ScopedHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file.Valid()) return false;

    BYTE buffer[kReadChunkBytes];
    DWORD got = 0;
    BOOL read;
    while ((read = ReadFile(file.Get(), buffer, kReadChunkBytes, &got, nullptr)) && got > 0)
        if (!CryptHashData(hash, buffer, got, 0)) return false;
    // A read that fails part-way must not let the digest of a partial file pass.
    return read;
}

// Whether the hash's value, as lowercase hex, is the manifest's digest (compared without case).
bool MatchesManifest(HCRYPTHASH hash, const std::wstring& md5) {
    BYTE value[kReadChunkBytes];
    DWORD length = sizeof(value);
    if (!CryptGetHashParam(hash, HP_HASHVAL, value, &length, 0)) return false;
    // Never more than 32 digits, whatever length the hash service reports.
    length = std::min(length, kMd5Bytes);
    wchar_t digestText[2 * kMd5Bytes + 1] = L"";
    for (DWORD i = 0; i < length; ++i) _snwprintf(digestText + 2 * i, 3, L"%02x", value[i]);
    return _wcsicmp(md5.c_str(), digestText) == 0;
}

bool MarkEntry(FileEntry* entry, bool current) {
    if (current)
        entry->flags |= kUpToDateBit;
    else
        entry->flags &= ~kUpToDateBit;
    return current;
}

}  // namespace

bool VerifyFile(FileEntry* entry, HCRYPTPROV* context) {
    ScopedCryptHash hash;
    return MarkEntry(entry, AcquireHashContext(context) && CreateMd5(*context, &hash) &&
                                HashFile(hash.Get(), entry->path.c_str()) && MatchesManifest(hash.Get(), entry->md5));
}

DWORD CheckHashService(HCRYPTPROV* context) {
    ScopedCryptHash hash;
    if (AcquireHashContext(context) && CreateMd5(*context, &hash)) return 0;
    const DWORD error = GetLastError();
    return error ? error : static_cast<DWORD>(NTE_FAIL);
}

void StartWrittenBytes(WrittenBytes* written) {
    written->size = 0;
    written->whole = true;
}

void KeepWrittenBytes(WrittenBytes* written, const void* bytes, DWORD length) {
    if (!written->whole) return;
    if (length > sizeof(written->data) - written->size) {
        written->whole = false;
        return;
    }
    memcpy(written->data + written->size, bytes, length);
    written->size += length;
}

bool VerifyDownloadedFile(FileEntry* entry, const WrittenBytes* written, HCRYPTPROV* context) {
    if (!written->whole) return VerifyFile(entry, context);
    ScopedCryptHash hash;
    return MarkEntry(entry, AcquireHashContext(context) && CreateMd5(*context, &hash) &&
                                CryptHashData(hash.Get(), written->data, written->size, 0) &&
                                MatchesManifest(hash.Get(), entry->md5));
}
