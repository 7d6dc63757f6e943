#include "root_path.h"

#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace {

// Converts to the ANSI code page (the one the narrow file functions use). A character without an
// exact equivalent fails the conversion: a best-fit or default character would name another folder.
bool ToAnsiCodePage(const std::wstring& wide, std::string& narrow) {
    if (wide.empty()) return false;
    const UINT codePage = GetACP();
    // UTF-8 takes no best-fit flag and no default-character report; it rejects broken UTF-16 instead.
    const bool utf8 = codePage == CP_UTF8;
    const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* usedDefaultOut = utf8 ? nullptr : &usedDefault;
    const int wideLength = static_cast<int>(wide.size());

    const int size = WideCharToMultiByte(codePage, flags, wide.data(), wideLength, nullptr, 0,
                                         nullptr, usedDefaultOut);
    if (size <= 0 || usedDefault) return false;
    std::string result(static_cast<size_t>(size), '\0');
    if (WideCharToMultiByte(codePage, flags, wide.data(), wideLength, result.data(), size, nullptr,
                            usedDefaultOut) != size ||
        usedDefault) {
        return false;
    }
    narrow = std::move(result);
    return true;
}

}  // namespace

bool ReadRootPath(std::string& rootPath) {
    std::error_code error;
    std::wstring current = std::filesystem::current_path(error).wstring();
    if (error) return false;
    // Slashes are swapped before the conversion: in a double-byte code page 0x5C can be the
    // second byte of a character, which a swap of narrow bytes would break.
    std::replace(current.begin(), current.end(), L'\\', L'/');
    return ToAnsiCodePage(current, rootPath);
}
