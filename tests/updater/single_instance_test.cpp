// A second updater.exe, started while the first holds the session's mutex, ends at once.
#include <gtest/gtest.h>

#include "scoped_handles.h"
#include "test_util.h"

TEST(SingleInstance, SecondCopyExitsWithOneAndWritesNothing) {
    // The name the first copy holds; mutexes are shared by every process of this Wine prefix.
    ScopedHandle mutex(CreateMutexW(nullptr, TRUE, L"VESK.DIROvuduza"));
    ASSERT_TRUE(mutex.Valid());
    test::TempDir dir;
    std::wstring exe = test::UpdaterExe(), commandLine = L"\"" + exe + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, dir.Path().c_str(),
                               &startup, &process));
    ScopedHandle thread(process.hThread), child(process.hProcess);
    EXPECT_EQ(WaitForSingleObject(child.Get(), 30000), WAIT_OBJECT_0);
    TerminateProcess(child.Get(), 99);  // nothing to end unless it hung
    DWORD code = 0;
    GetExitCodeProcess(child.Get(), &code);
    EXPECT_EQ(code, 1u);
    EXPECT_TRUE(test::FolderNames(dir.Path()).empty()) << "no Updater folder, no log";
}
