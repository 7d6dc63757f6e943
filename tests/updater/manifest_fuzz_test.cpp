// Hostile manifests: deterministic mutations of valid ones must never crash the reader, leak,
// leave a parser behind, or get a path outside the working directory accepted.
#include <gtest/gtest.h>

#include <windows.h>

#include <random>
#include <string>

#include "manifest_reader.h"

namespace {

const char* const kSeeds[] = {
    "<?xml version='1.0' encoding='UTF-8'?>\n<update version='1.0'>\n"
    "<file path='Liveries/A/d.dds' size='1024' md5='0123456789abcdef0123456789abcdef' src='https://127.0.0.1/a'/>\n"
    "<!-- note --><FILE PATH='b\\c.lua' Size='-5' MD5='x' SRC='http://127.0.0.1/b'></FILE>\n</update>\n",
    "<update><file path='caf\xC3\xA9/\xF0\x9F\x98\x80' size='12kB' md5='m' src='s'/>"
    "<file path='x' size='1' md5='m' src='s' PATH='y'/></update>",
    "<?xml version='1.0' encoding='ISO-8859-1'?><update><file path='\xE9t\xE9' size='3' md5='m' src='s'/></update>",
    "<!DOCTYPE update [<!ATTLIST file size CDATA '7'>]><update><file path='d' md5='m' src='s'/></update>",
};

const char* const kHostilePaths[] = {"..", "../x", "C:\\x", "\\\\s\\x", "/x", "a:b", "a/.../b", "", "a/. ./b"};

size_t Pick(std::mt19937& rng, size_t upTo) { return std::uniform_int_distribution<size_t>(0, upTo)(rng); }

void Mutate(std::mt19937& rng, std::string& doc) {
    const size_t at = Pick(rng, doc.size());
    switch (Pick(rng, 6)) {
    case 0:  // flip bits
        for (size_t n = Pick(rng, 3); n-- > 0 && !doc.empty();) doc[Pick(rng, doc.size() - 1)] ^= 1 << Pick(rng, 7);
        break;
    case 1:  // cut short
        doc.resize(at);
        break;
    case 2: {  // repeat a tag somewhere else
        const size_t open = doc.find('<', at), close = doc.find('>', open);
        if (close != std::string::npos) doc.insert(Pick(rng, doc.size()), doc.substr(open, close - open + 1));
        break;
    }
    case 3: {  // deep nesting
        const char* const tags[] = {"<update>", "<file path='a' size='1' md5='m' src='s'>", "<x>"};
        std::string nest;
        for (size_t n = Pick(rng, 3000); n-- > 0;) nest += tags[n % 3];
        doc.insert(at, nest);
        break;
    }
    case 4:  // huge attribute
        doc.insert(at, " path='" + std::string(Pick(rng, 100000), "a/.\xC3\xA9"[Pick(rng, 4)]) + "' ");
        break;
    case 5: {  // a hostile path where a path was
        const size_t value = doc.find("path='", at);
        if (value != std::string::npos) doc.insert(value + 6, kHostilePaths[Pick(rng, 8)]);
        break;
    }
    default:  // random bytes
        for (size_t n = Pick(rng, 16); n-- > 0;) doc.insert(Pick(rng, doc.size()), 1, static_cast<char>(Pick(rng, 255)));
    }
}

bool InsidePack(const std::wstring& path) {
    const std::wstring wrapped = L"\\" + path + L"\\";
    return !path.empty() && path[0] != L'\\' && path.find(L':') == std::wstring::npos &&
           path.find(L'/') == std::wstring::npos && wrapped.find(L"\\..\\") == std::wstring::npos;
}

// Bytes in use on every heap of the process (the C runtime's included).
size_t BusyHeapBytes() {
    HANDLE heaps[64];
    const DWORD count = std::min<DWORD>(GetProcessHeaps(64, heaps), 64);
    size_t busy = 0;
    for (DWORD i = 0; i < count; ++i) {
        HeapLock(heaps[i]);
        PROCESS_HEAP_ENTRY entry = {};
        while (HeapWalk(heaps[i], &entry))
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) busy += entry.cbData;
        HeapUnlock(heaps[i]);
    }
    return busy;
}

struct RoundCounts {
    int accepted = 0;
    int refused = 0;
};

// One round: the same mutations every time (fixed seed), fed in random chunk sizes.
RoundCounts FuzzRound(ManifestReader& reader) {
    std::mt19937 rng(20240611);
    RoundCounts counts;
    for (int i = 0; i < 1500; ++i) {
        std::string doc = kSeeds[i % 4];
        for (size_t n = 1 + Pick(rng, 2); n-- > 0;) Mutate(rng, doc);
        const size_t chunk = 1 + Pick(rng, 300);

        bool valid = BeginManifest(&reader);
        for (size_t at = 0; valid && at < doc.size(); at += chunk)
            valid = FeedManifest(&reader, doc.data() + at, static_cast<int>(std::min(chunk, doc.size() - at)));
        if (valid)
            valid = FinishManifest(&reader);
        else
            AbandonManifest(&reader);

        EXPECT_EQ(reader.parser, nullptr) << i;
        if (!valid) {
            ++counts.refused;
            continue;
        }
        ++counts.accepted;
        for (const FileEntry& e : reader.entries) {
            EXPECT_TRUE(InsidePack(e.path)) << i;
            EXPECT_FALSE(e.md5.empty() || e.src.empty()) << i;
        }
    }
    return counts;
}

TEST(ManifestFuzz, MutatedManifestsNeitherCrashNorLeakNorEscape) {
    ManifestReader reader = {};
    const RoundCounts first = FuzzRound(reader);
    // Both outcomes must be exercised, or the mutations test nothing.
    EXPECT_GT(first.accepted, 50);
    EXPECT_GT(first.refused, 50);

    const size_t before = BusyHeapBytes();
    for (int round = 0; round < 3; ++round) FuzzRound(reader);
    const size_t after = BusyHeapBytes();
    EXPECT_LT(after, before + 64 * 1024) << "heap grew from " << before << " to " << after;

    // Still a working reader.
    const std::string doc = "<update><file path='a/b' size='2' md5='m' src='s'/></update>";
    ASSERT_TRUE(BeginManifest(&reader));
    ASSERT_TRUE(FeedManifest(&reader, doc.data(), static_cast<int>(doc.size())));
    ASSERT_TRUE(FinishManifest(&reader));
    ASSERT_EQ(reader.entries.size(), 1u);
    EXPECT_EQ(reader.entries[0].path, L"a\\b");
    EXPECT_EQ(reader.entries[0].size, 2u);
}

}  // namespace
