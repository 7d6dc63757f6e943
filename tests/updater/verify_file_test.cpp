// VerifyFile on real files: known MD5 answers, the digest text comparison, unreadable files, flags;
// the check of a downloaded file.
#include <gtest/gtest.h>

#include <filesystem>
#include <algorithm>
#include <fstream>
#include <string>
#include <thread>

#include "verify_file.h"

namespace {

namespace fs = std::filesystem;

bool WriteBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    return static_cast<bool>(out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())).flush());
}

constexpr wchar_t kAbc[] = L"900150983cd24fb0d6963f7d28e17f72";

// A byte pattern that changes within every chunk, so a dropped or repeated chunk shows.
std::string Pattern(size_t length) {
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(i * 7 + 3);
    return bytes;
}

// Bits other than bit 0 belong to others: every path must leave them as they were.
constexpr uint32_t kOtherBits = 0xA5A5A5A4;

FileEntry Entry(const std::wstring& path, const std::wstring& md5, bool upToDate) {
    return FileEntry{kOtherBits | upToDate, path, 999, md5, L"s"};  // the size never matters
}

// Each test works in a fresh folder, its working directory: entry paths are relative to it.
class VerifyFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("verify-" + std::to_string(GetCurrentProcessId()));
        fs::remove_all(dir_);
        ASSERT_TRUE(fs::create_directory(dir_));
        saved_ = fs::current_path();
        fs::current_path(dir_);
    }
    void TearDown() override {
        if (context_) CryptReleaseContext(context_, 0);
        std::error_code error;
        fs::current_path(saved_, error);
        fs::remove_all(dir_, error);
    }
    bool Verify(FileEntry* entry) { return VerifyFile(entry, &context_); }

    fs::path dir_, saved_;
    HCRYPTPROV context_ = 0;  // acquired by the first check, kept for the others
};

TEST_F(VerifyFileTest, ComparesTheWholeDigestIgnoringCaseOnly) {
    const struct {
        std::string content;
        std::wstring md5;
        bool current;
    } cases[] = {
        {"", L"d41d8cd98f00b204e9800998ecf8427e", true},
        {"", L"", false},
        {"abc", kAbc, true},
        {"abc", L"900150983CD24FB0D6963F7D28E17F72", true},
        {"abc", L"900150983cD24fB0d6963F7d28E17f72", true},
        {"abc", std::wstring(L" ") + kAbc, false},
        {"abc", std::wstring(kAbc) + L" ", false},
        {"abc", std::wstring(L"0x") + kAbc, false},
        {"abc", std::wstring(kAbc, 31), false},
        {"abc", std::wstring(kAbc) + L"0", false},
        {"abc", L"d41d8cd98f00b204e9800998ecf8427e", false},
        {Pattern(4096), L"d105289f5617c241f52a191c6b2fc809", true},
        {Pattern(4096 * 3 + 17), L"4d6dd984c4fd95afdf9f9e0cb7b8028b", true},
    };
    HCRYPTPROV firstContext = 0;
    for (const auto& c : cases) {
        ASSERT_TRUE(WriteBytes("f.bin", c.content));
        FileEntry entry = Entry(L"f.bin", c.md5, !c.current);
        EXPECT_EQ(Verify(&entry), c.current) << c.content.size() << " bytes, md5 \"" << c.md5 << "\"";
        EXPECT_EQ(entry.flags, kOtherBits | c.current);
        if (!firstContext) firstContext = context_;
    }
    EXPECT_NE(firstContext, 0u);
    EXPECT_EQ(context_, firstContext) << "one context serves every check";
}

TEST_F(VerifyFileTest, FilesThatCannotBeReadAreStale) {
    ASSERT_TRUE(CreateDirectoryW(L"folder", nullptr));
    for (const wchar_t* path : {L"missing.bin", L"folder", L"no\\such\\dir\\f.bin", L""}) {
        FileEntry entry = Entry(path, kAbc, true);
        EXPECT_FALSE(Verify(&entry)) << path;
        EXPECT_EQ(entry.flags, kOtherBits) << path;
    }

    // Someone still writing the file, with or without letting readers in: not current.
    ASSERT_TRUE(WriteBytes("busy.bin", "abc"));
    FileEntry entry = Entry(L"busy.bin", kAbc, true);
    for (DWORD share : {0ul, static_cast<unsigned long>(FILE_SHARE_READ)}) {
        HANDLE writer = CreateFileW(L"busy.bin", GENERIC_WRITE, share, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(writer, INVALID_HANDLE_VALUE);
        EXPECT_FALSE(Verify(&entry)) << share;
        CloseHandle(writer);
    }
    EXPECT_TRUE(Verify(&entry));
}

TEST_F(VerifyFileTest, AReadFailingPartWayMakesTheFileStale) {
    // A pipe whose writer goes away after two chunks: the third ReadFile fails (broken pipe).
    const std::wstring name = L"\\\\.\\pipe\\verify-file-test-" + std::to_wstring(GetCurrentProcessId());
    HANDLE pipe = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0,
                                   nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    bool delivered = false;
    std::thread writer([&] {
        const std::string bytes = Pattern(2 * 4096);
        DWORD written = 0;
        const bool connected = ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
        // FlushFileBuffers returns once the reader has taken every byte.
        delivered = connected && WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                    written == bytes.size() && FlushFileBuffers(pipe);
        CloseHandle(pipe);
    });

    // The digest of the two chunks: what a check that ignored the failed read would compare.
    FileEntry entry = Entry(name, L"e7d9befc38280c62a9fa40eae7633c90", true);
    const bool current = Verify(&entry);
    writer.join();
    ASSERT_TRUE(delivered);
    EXPECT_FALSE(current);
    EXPECT_EQ(entry.flags, kOtherBits);
}

TEST_F(VerifyFileTest, ADownloadedFileIsCheckedOnItsBytesWhileTheyFitInMemoryElseReadBack) {
    // The file on disk says "xyz" throughout: a case whose answer follows the kept bytes never read it.
    const struct {
        std::string written;  // handed over in 4096-byte pieces, as a download writes them
        std::string onDisk;
        std::wstring md5;
        bool current;
    } cases[] = {
        {"abc", "xyz", kAbc, true},
        {"abc", "xyz", L"d16fb36f0911f878998c136191af705e", false},
        {"", "xyz", L"d41d8cd98f00b204e9800998ecf8427e", true},
        {Pattern(4096 * 3 + 17), "xyz", L"4d6dd984c4fd95afdf9f9e0cb7b8028b", true},
        {Pattern(65536), "xyz", L"55f3da07043d8f6f30808f9309120b1d", true},  // exactly what memory holds
        // Beyond it, the file itself is read back.
        {Pattern(65536 + 4096), Pattern(65536 + 4096), L"d459373cb691c3c150a494890707eb19", true},
        {Pattern(65536 + 4096), "xyz", L"d459373cb691c3c150a494890707eb19", false},
    };
    static WrittenBytes written;  // too large for a test's stack
    for (const auto& c : cases) {
        ASSERT_TRUE(WriteBytes("f.bin", c.onDisk));
        StartWrittenBytes(&written);
        for (size_t at = 0; at < c.written.size(); at += 4096) {
            const size_t piece = std::min<size_t>(4096, c.written.size() - at);
            KeepWrittenBytes(&written, c.written.data() + at, static_cast<DWORD>(piece));
        }
        FileEntry entry = Entry(L"f.bin", c.md5, !c.current);
        EXPECT_EQ(VerifyDownloadedFile(&entry, &written, &context_), c.current) << c.written.size() << " bytes";
        EXPECT_EQ(entry.flags, kOtherBits | c.current);
    }
}

}  // namespace
