// wine_kind: says how it runs, so that a test leg can prove it is the kind of Wine prefix it claims:
//   pointer=32|64 wow64=0|1 unix=elf32|elf64
// pointer: this build's pointer size; wow64: a 32-bit program in a 64-bit prefix (IsWow64Process);
// unix: the class of the Unix executable that runs this process: Wine's loader names itself in
// WINELOADER (a 32-bit loader under old WoW64, a 64-bit one under new WoW64), and shows the Unix
// root as Z:. (Z:\proc\self would be the wine server's: it opens files for its clients.)
#include <windows.h>

#include <cstdio>

namespace {

const char* UnixClass() {
    wchar_t loader[MAX_PATH] = L"Z:";
    const DWORD length = GetEnvironmentVariableW(L"WINELOADER", loader + 2, MAX_PATH - 2);
    if (length == 0 || length >= MAX_PATH - 2) return "unknown";
    for (wchar_t* c = loader; *c; ++c) {
        if (*c == L'/') *c = L'\\';
    }
    HANDLE exe = CreateFileW(loader, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (exe == INVALID_HANDLE_VALUE) return "unknown";
    unsigned char header[5] = {};
    DWORD got = 0;
    const BOOL read = ReadFile(exe, header, sizeof(header), &got, nullptr);
    CloseHandle(exe);
    if (!read || got != sizeof(header) || header[0] != 0x7F || header[1] != 'E') return "unknown";
    return header[4] == 1 ? "elf32" : header[4] == 2 ? "elf64" : "unknown";  // EI_CLASS
}

}  // namespace

int wmain() {
    BOOL wow64 = FALSE;
    if (!IsWow64Process(GetCurrentProcess(), &wow64)) return 1;
    printf("pointer=%u wow64=%d unix=%s\n", static_cast<unsigned>(sizeof(void*) * 8), wow64 ? 1 : 0, UnixClass());
    return 0;
}
