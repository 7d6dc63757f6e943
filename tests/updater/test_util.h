// Small helpers shared by the updater's test programs: temporary folders, files, the run log.
#pragma once

#include <windows.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace test {

namespace fs = std::filesystem;

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

// Names in a folder.
inline std::vector<std::wstring> FolderNames(const std::wstring& dir) {
    std::vector<std::wstring> names;
    std::error_code error;
    for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error))
        names.push_back(it->path().filename().wstring());
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
    ~TempDir() {
        std::error_code error;
        fs::remove_all(path_, error);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::wstring& Path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

// Makes the process's current directory a given folder for one scope.
class CurrentDirectory {
public:
    explicit CurrentDirectory(const std::wstring& dir) : old_(fs::current_path(error_)) { fs::current_path(dir, error_); }
    ~CurrentDirectory() { fs::current_path(old_, error_); }
    CurrentDirectory(const CurrentDirectory&) = delete;
    CurrentDirectory& operator=(const CurrentDirectory&) = delete;

private:
    std::error_code error_;
    fs::path old_;
};

inline bool WriteBytes(const std::wstring& path, const std::string& bytes) {
    std::ofstream out(fs::path(path), std::ios::binary | std::ios::trunc);
    return static_cast<bool>(out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())).flush());
}

// The whole file, or "<missing>" when it cannot be read.
inline std::string ReadBytes(const std::wstring& path) {
    std::ifstream in(fs::path(path), std::ios::binary);
    return in ? std::string(std::istreambuf_iterator<char>(in), {}) : "<missing>";
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
