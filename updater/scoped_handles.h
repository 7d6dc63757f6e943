// Non-copyable owners for the handles the updater acquires; each releases on every path.
#pragma once

#include <windows.h>
#include <wincrypt.h>
#include <wininet.h>

#include <cstdio>

template <typename Traits>
class Scoped {
public:
    using Handle = typename Traits::Handle;
    Scoped() : handle_(Traits::Invalid()) {}
    explicit Scoped(Handle handle) : handle_(handle) {}
    ~Scoped() { Reset(); }
    Scoped(const Scoped&) = delete;
    Scoped& operator=(const Scoped&) = delete;

    Handle Get() const { return handle_; }
    bool Valid() const { return Traits::IsValid(handle_); }
    void Reset(Handle handle = Traits::Invalid()) {
        if (Traits::IsValid(handle_)) Traits::Close(handle_);
        handle_ = handle;
    }

private:
    Handle handle_;
};

// Kernel objects: both NULL and INVALID_HANDLE_VALUE mean "none".
struct KernelHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() { return nullptr; }
    static bool IsValid(Handle h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(Handle h) { CloseHandle(h); }
};

struct InternetHandleTraits {
    using Handle = HINTERNET;
    static Handle Invalid() { return nullptr; }
    static bool IsValid(Handle h) { return h != nullptr; }
    static void Close(Handle h) { InternetCloseHandle(h); }
};

struct CryptHashTraits {
    using Handle = HCRYPTHASH;
    static Handle Invalid() { return 0; }
    static bool IsValid(Handle h) { return h != 0; }
    static void Close(Handle h) { CryptDestroyHash(h); }
};

struct StdioFileTraits {
    using Handle = FILE*;
    static Handle Invalid() { return nullptr; }
    static bool IsValid(Handle h) { return h != nullptr; }
    static void Close(Handle h) { fclose(h); }
};

using ScopedHandle = Scoped<KernelHandleTraits>;
using ScopedInternet = Scoped<InternetHandleTraits>;
using ScopedCryptHash = Scoped<CryptHashTraits>;
using ScopedFile = Scoped<StdioFileTraits>;
