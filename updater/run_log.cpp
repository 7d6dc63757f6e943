#include "run_log.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <string>

namespace {

std::wstring FormatV(const wchar_t* format, va_list args) {
    std::wstring text(256, L'\0');
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        const int n = _vsnwprintf(&text[0], text.size(), format, copy);
        va_end(copy);
        if (n >= 0 && static_cast<size_t>(n) < text.size()) {
            text.resize(n);
            return text;
        }
        text.resize(text.size() * 2);
    }
}

}  // namespace

void LogLine(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const std::wstring message = FormatV(format, args);
    va_end(args);

    // UTF-8 keeps every character of a path or URL; the C runtime's narrow conversion would not.
    std::string bytes;
    const int length = WideCharToMultiByte(CP_UTF8, 0, message.data(), static_cast<int>(message.size()),
                                           nullptr, 0, nullptr, nullptr);
    if (length > 0) {
        bytes.resize(length);
        WideCharToMultiByte(CP_UTF8, 0, message.data(), static_cast<int>(message.size()), &bytes[0], length,
                            nullptr, nullptr);
    }
    // Message and line feed as two outputs; text mode turns the line feed into CR LF.
    fwrite(bytes.data(), 1, bytes.size(), stdout);
    fputs("\n", stdout);
    fflush(stdout);
}
