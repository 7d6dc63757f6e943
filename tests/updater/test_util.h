// Small helpers shared by the updater's test programs: temporary folders, files, the run log.
#pragma once

#include <windows.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace test {

// A Unix path from the environment as the Windows path Wine maps it to.
inline std::wstring FromUnixPath(const char* unixPath) {
    std::wstring path(unixPath ? MultiByteToWideChar(CP_UTF8, 0, unixPath, -1, nullptr, 0) : 1, L'\0');
    if (unixPath) MultiByteToWideChar(CP_UTF8, 0, unixPath, -1, &path[0], static_cast<int>(path.size()));
    path.pop_back();
    for (auto& c : path)
        if (c == L'/') c = L'\\';
    return path.empty() || path[0] != L'\\' ? path : L"Z:" + path;
}

// The built updater.exe (CMake sets UPDATER_EXE for every updater test).
inline std::wstring UpdaterExe() { return FromUnixPath(std::getenv("UPDATER_EXE")); }

// Names in a folder, without "." and "..".
inline std::vector<std::wstring> FolderNames(const std::wstring& dir) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        if (wcscmp(data.cFileName, L".") && wcscmp(data.cFileName, L"..")) names.push_back(data.cFileName);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return names;
}

// A fresh folder under %TEMP%, removed with everything in it when the object dies.
class TempDir {
public:
    TempDir() {
        wchar_t base[MAX_PATH];
        GetTempPathW(MAX_PATH, base);
        for (unsigned i = GetTickCount() ^ GetCurrentProcessId();; ++i)
            if (CreateDirectoryW((path_ = base + (L"updtest-" + std::to_wstring(i))).c_str(), nullptr)) break;
    }
    ~TempDir() { RemoveTree(path_); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::wstring& Path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    static void RemoveTree(const std::wstring& dir) {
        for (const std::wstring& name : FolderNames(dir)) {
            const std::wstring child = dir + L"\\" + name;
            SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (!DeleteFileW(child.c_str())) RemoveTree(child);
        }
        RemoveDirectoryW(dir.c_str());
    }

    std::wstring path_;
};

// Makes the process's current directory a given folder for one scope.
class CurrentDirectory {
public:
    explicit CurrentDirectory(const std::wstring& dir) {
        GetCurrentDirectoryW(MAX_PATH, old_);
        SetCurrentDirectoryW(dir.c_str());
    }
    ~CurrentDirectory() { SetCurrentDirectoryW(old_); }
    CurrentDirectory(const CurrentDirectory&) = delete;
    CurrentDirectory& operator=(const CurrentDirectory&) = delete;

private:
    wchar_t old_[MAX_PATH];
};

inline bool WriteBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    const bool ok = file != INVALID_HANDLE_VALUE &&
                    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                    written == bytes.size();
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return ok;
}

// The whole file, or "<missing>" when it cannot be read.
inline std::string ReadBytes(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "<missing>";
    std::string bytes;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) bytes.append(buffer, got);
    CloseHandle(file);
    return bytes;
}

// Standard output (the run log) sent to a file until Finish(). Only actions belong in between:
// a failed check would print its message into the file.
class LogCapture {
public:
    explicit LogCapture(const std::wstring& path) : path_(path) {
        fflush(stdout);
        saved_ = _dup(_fileno(stdout));
        _wfreopen(path.c_str(), L"w", stdout);
    }
    ~LogCapture() { Finish(); }
    std::string Finish() {
        if (saved_ >= 0) {
            fflush(stdout);
            _dup2(saved_, _fileno(stdout));
            _close(saved_);
            saved_ = -1;
        }
        return ReadBytes(path_);
    }

private:
    std::wstring path_;
    int saved_ = -1;
};

}  // namespace test
