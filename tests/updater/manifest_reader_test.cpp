// The manifest reader: which documents it accepts, the entries it makes of them, the paths it refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "manifest_reader.h"

namespace {

// "path|size|md5|src" per entry, ";" between entries.
std::wstring Entries(const ManifestReader& reader) {
    std::wstring out;
    for (const FileEntry& e : reader.entries)
        out += (out.empty() ? L"" : L";") + e.path + L"|" + std::to_wstring(e.size) + L"|" + e.md5 + L"|" + e.src;
    return out;
}

// Feeds the document in chunks of the given size, as the update run does; the entries, or
// "invalid" for a refused document.
std::wstring Parse(ManifestReader& reader, const std::string& doc, size_t chunk = 128) {
    bool valid = BeginManifest(&reader);
    for (size_t at = 0; valid && at < doc.size(); at += chunk)
        valid = FeedManifest(&reader, doc.data() + at, static_cast<int>(std::min(chunk, doc.size() - at)));
    if (valid)
        valid = FinishManifest(&reader);
    else
        AbandonManifest(&reader);
    EXPECT_EQ(reader.parser, nullptr);
    return valid ? Entries(reader) : L"invalid";
}

#define ENTRY "<file path='a' size='1' md5='m' src='s'/>"
#define IN_ROOT(x) "<update>" x "</update>"
#define WITH_SIZE(x) IN_ROOT("<file path='a' size='" x "' md5='m' src='s'/>")

const struct {
    const char* doc;
    const wchar_t* expected;
} kCases[] = {
    // Names and version, in any letter case.
    {"<update version='1.0'><file path='a/b/c.dds' size='12' md5='Ab' src='http://h/x'/></update>",
     L"a\\b\\c.dds|12|Ab|http://h/x"},
    {"<UPDATE VERSION='1.0'><FILE PATH='a' SIZE='1' MD5='m' SRC='s'/></UPDATE>", L"a|1|m|s"},
    {"<uPdAtE Version='1.0'>" ENTRY "</uPdAtE>", L"a|1|m|s"},
    {"<update build='7'>" ENTRY "</update>", L"a|1|m|s"},
    {"<update version='1.00'/>", L"invalid"},
    {"<update version=' 1.0'/>", L"invalid"},
    {"<update version='1.0' VERSION='2'/>", L"invalid"},
    {"<update version='2' VERSION='1.0'>" ENTRY "</update>", L"invalid"},
    // Structure.
    {"<update/>", L""},
    {"<manifest/>", L"invalid"},
    {ENTRY, L"invalid"},
    {IN_ROOT("<update/>"), L"invalid"},
    {IN_ROOT(ENTRY "<other/>"), L"invalid"},
    {IN_ROOT("<file path='a' size='1' md5='m' src='s'><x/></file>"), L"invalid"},
    {IN_ROOT("<file path='a' size='1' md5='m' src='s'>" ENTRY "</file>"), L"invalid"},
    {"<?xml version='1.0'?><!-- c --><update>text<?pi x?>" ENTRY "<!-- d -->tail</update>", L"a|1|m|s"},
    {"<!DOCTYPE update [<!ATTLIST file size CDATA '7'>]><update><file path='d' md5='m' src='s'/></update>", L"d|7|m|s"},
    // Attributes: required, non-empty, last of a name wins, others ignored.
    {IN_ROOT("<file size='1' md5='m' src='s'/>"), L"invalid"},
    {IN_ROOT("<file path='a' md5='m' src='s'/>"), L"invalid"},
    {IN_ROOT("<file path='a' size='1' src='s'/>"), L"invalid"},
    {IN_ROOT("<file path='a' size='1' md5='m'/>"), L"invalid"},
    {IN_ROOT("<file path='' size='1' md5='m' src='s'/>"), L"invalid"},
    {IN_ROOT("<file path='a' size='1' md5='' src='s'/>"), L"invalid"},
    {IN_ROOT("<file path='a' size='1' md5='m' src=''/>"), L"invalid"},
    {IN_ROOT("<file path='x' size='1' md5='m' src='s' PATH='y' Md5='n' extra='e'/>"), L"y|1|n|s"},
    {IN_ROOT("<file PATH='y' SRC='t' size='1' md5='m' src='s' path='x'/>"), L"x|1|m|s"},
    {IN_ROOT(ENTRY "<file path='a' size='2' md5='m' src='s'/>"), L"a|1|m|s;a|2|m|s"},
    // Sizes: read like wcstol, kept as 32 bits.
    {WITH_SIZE("12kB"), L"a|12|m|s"},
    {WITH_SIZE("x"), L"a|0|m|s"},
    {WITH_SIZE(""), L"a|0|m|s"},
    {WITH_SIZE(" +7"), L"a|7|m|s"},
    {WITH_SIZE("-5"), L"a|4294967291|m|s"},
    {WITH_SIZE("99999999999"), L"a|2147483647|m|s"},
    {WITH_SIZE("-99999999999"), L"a|2147483648|m|s"},
    // Encodings.
    {IN_ROOT("<file path='caf\xC3\xA9/\xF0\x9F\x98\x80.dds' size='1' md5='m' src='s'/>"),
     L"caf\u00e9\\\U0001F600.dds|1|m|s"},
    {"<?xml version='1.0' encoding='ISO-8859-1'?>" IN_ROOT("<file path='caf\xE9' size='1' md5='m' src='s'/>"),
     L"caf\u00e9|1|m|s"},
    {IN_ROOT("<file path='caf\xE9' size='1' md5='m' src='s'/>"), L"invalid"},
    {"<?xml version='1.0' encoding='KOI8-R'?><update/>", L"invalid"},
    // Not well-formed.
    {"", L"invalid"},
    {"<update>", L"invalid"},
    {"<update></updat>", L"invalid"},
    {"<update/><update/>", L"invalid"},
    {IN_ROOT("<file path='a' path='b' size='1' md5='m' src='s'/>"), L"invalid"},
    {IN_ROOT("&bogus;"), L"invalid"},
};

TEST(ManifestReader, AcceptsExactlyTheManifestFormat) {
    ManifestReader reader = {};  // one reader for all: every parse must start from an empty list
    for (const auto& c : kCases) EXPECT_EQ(Parse(reader, c.doc), c.expected) << c.doc;
}

TEST(ManifestReader, RefusesPathsOutsideThePackOrNamingADevice) {
    const struct {
        const char* path;
        bool accepted;
    } paths[] = {
        {"\\x", false},          {"/etc/passwd", false},      {"C:\\x", false},      {"C:/x", false},
        {"c:x", false},          {"\\\\server\\x", false},    {"//server/x", false}, {"\\\\?\\C:\\x", false},
        {"a.dds:stream", false}, {"..", false},               {"../x", false},       {"a/../../x", false},
        {"a\\..", false},        {"a/.../b", false},          {"a/.. /b", false},    {"a/. ./b", false},
        {"./a", true},           {"a..b/c", true},            {"a/./b", true},       {"..a/b../.x", true},
        {"a./b", true},          {"Liveries/A B/c.dds", true},
        // Device names, in any case, with any extension, or reached by stripping dots and blanks.
        {"ZIR.VESK.Liveries/com1.txt", false}, {"L/aux.dds", false},   {"L/CON", false},
        {"nul/a.txt", false},    {"PRN/a.txt", false},        {"Com0", false},       {"lpt9.x.dds", false},
        {"LPT9 .txt", false},    {"nul.", false},             {"CON .", false},      {"com1.txt.bak", false},
        {"COM\xC2\xB9", false},  {"lpt\xC2\xB3.dds", false},    {"CONIN$", false},     {"conout$.log", false},
        {"console.txt", true},   {"nullable.lua", true},      {"com10.txt", true},   {"auxiliary", true},
        {"com.txt", true},       {"lpt\xC2\xB4", true},       {"a.con", true},       {"con_x/aux_y.dds", true},
    };
    ManifestReader reader = {};
    for (const auto& p : paths) {
        const std::string doc = std::string("<update><file path='") + p.path + "' size='1' md5='m' src='s'/></update>";
        EXPECT_EQ(Parse(reader, doc) != L"invalid", p.accepted) << p.path;
    }
}

}  // namespace
