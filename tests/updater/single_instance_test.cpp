// A second updater.exe, started while the first holds the session's mutex, ends at once.
#include <gtest/gtest.h>

#include "test_util.h"

namespace {

bool IsEmptyFolder(const std::wstring& dir) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return false;
    bool empty = true;
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") empty = false;
    } while (empty && FindNextFileW(find, &data));
    FindClose(find);
    return empty;
}

TEST(SingleInstance, SecondCopyExitsWithOneAndWritesNothing) {
    // The name the first copy holds; mutexes are shared by every process of this Wine prefix.
    HANDLE mutex = CreateMutexW(nullptr, TRUE, L"VESK.DIROvuduza");
    ASSERT_NE(mutex, nullptr);
    test::TempDir dir;
    EXPECT_EQ(test::RunProcess(test::UpdaterExe(), dir.Path(), 30000), 1);
    EXPECT_TRUE(IsEmptyFolder(dir.Path())) << "no Updater folder, no log";
    CloseHandle(mutex);
}

}  // namespace
