// Reads the update manifest with expat's wide build: an "update" root holding "file" children.
#include "manifest_reader.h"

#include <share.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>

#include "scoped_handles.h"

namespace {

constexpr size_t kManifestChunkBytes = 128;

// Element and attribute names match without case, for ASCII letters only: a locale-aware
// comparison could fold other characters into "file" or "path" on some systems.
wchar_t AsciiLower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + (L'a' - L'A')) : c; }

bool EqualsAsciiNoCase(const wchar_t* text, const wchar_t* lowerName) {
    for (; *text && *lowerName; ++text, ++lowerName)
        if (AsciiLower(*text) != *lowerName) return false;
    return *text == *lowerName;
}

// [begin, end) equals lowerName, ASCII letters compared without case.
bool RangeEqualsAsciiNoCase(const wchar_t* begin, const wchar_t* end, const wchar_t* lowerName) {
    for (; begin != end && *lowerName; ++begin, ++lowerName)
        if (AsciiLower(*begin) != *lowerName) return false;
    return begin == end && !*lowerName;
}

// A component made of dots and blanks with two dots or more: Win32 strips trailing dots and
// blanks, so "...", ".. " and ". ." all name the parent folder.
bool IsParentComponent(const wchar_t* begin, const wchar_t* end) {
    int dots = 0;
    for (const wchar_t* c = begin; c != end; ++c) {
        if (*c == L'.')
            ++dots;
        else if (*c != L' ')
            return false;
    }
    return dots >= 2;
}

// A reserved device name opens the device (console, printer, serial port), not a file, and
// opening some of them blocks for good. Win32 strips trailing dots and blanks and ignores the
// extension and the blanks before it: "aux.dds", "com1.txt.bak", "nul." and "LPT9 .txt" all
// name a device; "console.txt" and "com10.txt" do not.
bool IsDeviceComponent(const wchar_t* begin, const wchar_t* end) {
    while (end != begin && (end[-1] == L'.' || end[-1] == L' ')) --end;
    const wchar_t* stem = std::find(begin, end, L'.');
    while (stem != begin && stem[-1] == L' ') --stem;
    for (const wchar_t* device : {L"con", L"prn", L"aux", L"nul", L"conin$", L"conout$"})
        if (RangeEqualsAsciiNoCase(begin, stem, device)) return true;
    // COM and LPT followed by one digit, or by a superscript one, two or three.
    return stem - begin == 4 &&
           (RangeEqualsAsciiNoCase(begin, begin + 3, L"com") || RangeEqualsAsciiNoCase(begin, begin + 3, L"lpt")) &&
           begin[3] != L'\0' && std::wcschr(L"0123456789\u00b9\u00b2\u00b3", begin[3]);
}

// Manifest paths are relative to the working directory and must name plain files below it, or a
// hostile or broken manifest could overwrite any file the player can write, or hang the run on a
// device. Refused: rooted paths ("\x", "\\server\x", "\\?\..."), any ":" (drive letters,
// alternate data streams), any component that climbs to the parent or names a device.
// Expects "\" separators only.
bool IsUnsafePath(const std::wstring& path) {
    if (path.empty() || path[0] == L'\\') return true;
    if (path.find(L':') != std::wstring::npos) return true;
    size_t start = 0;
    for (;;) {
        const size_t separator = std::min(path.find(L'\\', start), path.size());
        const wchar_t* begin = path.c_str() + start;
        const wchar_t* end = path.c_str() + separator;
        if (IsParentComponent(begin, end) || IsDeviceComponent(begin, end)) return true;
        if (separator == path.size()) return false;
        start = separator + 1;
    }
}

void StopManifest(ManifestReader* reader) { XML_StopParser(reader->parser, XML_FALSE); }

}  // namespace

void XMLCALL OnStartElement(void* userData, const XML_Char* name, const XML_Char** attributes) {
    auto* reader = static_cast<ManifestReader*>(userData);
    ++reader->depth;

    if (EqualsAsciiNoCase(name, L"update") && reader->depth == 1) {
        // Every version attribute is checked, so a second one cannot hide a bad first one.
        for (const XML_Char** a = attributes; a[0]; a += 2)
            if (EqualsAsciiNoCase(a[0], L"version") && !EqualsAsciiNoCase(a[1], L"1.0")) StopManifest(reader);
        return;
    }

    if (EqualsAsciiNoCase(name, L"file") && reader->depth == 2) {
        // The last of a name wins when it occurs in several letter cases (path and PATH).
        const wchar_t* path = nullptr;
        const wchar_t* size = nullptr;
        const wchar_t* md5 = nullptr;
        const wchar_t* src = nullptr;
        for (const XML_Char** a = attributes; a[0]; a += 2) {
            if (EqualsAsciiNoCase(a[0], L"path"))
                path = a[1];
            else if (EqualsAsciiNoCase(a[0], L"size"))
                size = a[1];
            else if (EqualsAsciiNoCase(a[0], L"md5"))
                md5 = a[1];
            else if (EqualsAsciiNoCase(a[0], L"src"))
                src = a[1];
        }
        if (AddFileEntry(reader, path, size, md5, src)) return;
    }

    // Anything else in the document makes the whole manifest invalid.
    StopManifest(reader);
}

void XMLCALL OnEndElement(void* userData, const XML_Char*) { --static_cast<ManifestReader*>(userData)->depth; }

bool AddFileEntry(ManifestReader* reader, const wchar_t* path, const wchar_t* size, const wchar_t* md5,
                  const wchar_t* src) {
    if (!path || !size || !md5 || !src) return false;

    FileEntry entry = {};
    entry.path = path;
    std::replace(entry.path.begin(), entry.path.end(), L'/', L'\\');
    // wcstol's rules: blanks, sign, digits up to the first other character, clamped to 32 bits;
    // a negative count wraps around on purpose (it only feeds the progress totals).
    entry.size = static_cast<uint32_t>(wcstol(size, nullptr, 10));
    entry.md5 = md5;
    entry.src = src;

    if (entry.path.empty() || entry.md5.empty() || entry.src.empty()) return false;
    if (IsUnsafePath(entry.path)) return false;

    reader->entries.push_back(std::move(entry));
    return true;
}

bool BeginManifest(ManifestReader* reader) {
    AbandonManifest(reader);  // a parser left over from an unfinished parse
    reader->depth = 0;
    reader->parser = XML_ParserCreate(nullptr);  // the document names its own encoding
    if (!reader->parser) return false;
    XML_SetStartElementHandler(reader->parser, OnStartElement);
    XML_SetEndElementHandler(reader->parser, OnEndElement);
    XML_SetUserData(reader->parser, reader);
    reader->entries.clear();
    return true;
}

bool FeedManifest(ManifestReader* reader, const char* data, int length) {
    if (!reader->parser) return false;
    return XML_Parse(reader->parser, data, length, 0) == XML_STATUS_OK;
}

bool FinishManifest(ManifestReader* reader) {
    if (!reader->parser) return false;
    const bool valid = XML_Parse(reader->parser, "", 0, 1) == XML_STATUS_OK;
    AbandonManifest(reader);
    return valid;
}

void AbandonManifest(ManifestReader* reader) {
    if (reader->parser) XML_ParserFree(reader->parser);
    reader->parser = nullptr;
}

bool ReadManifestFile(ManifestReader* reader, const wchar_t* path) {
    // Binary mode: in text mode a 0x1A byte (in UTF-16, any character U+xx1A) ends the file.
    ScopedFile file(_wfsopen(path, L"rb", _SH_DENYWR));
    if (!file.Valid()) return false;
    if (!BeginManifest(reader)) return false;

    char chunk[kManifestChunkBytes];
    for (;;) {
        const size_t got = fread(chunk, 1, sizeof(chunk), file.Get());
        if (got == 0) break;
        if (!FeedManifest(reader, chunk, static_cast<int>(got))) {
            AbandonManifest(reader);
            return false;
        }
    }
    // A read error is not the end of the document.
    if (ferror(file.Get())) {
        AbandonManifest(reader);
        return false;
    }
    return FinishManifest(reader);
}
