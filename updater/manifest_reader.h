// The update manifest: an "update" root holding one "file" element per pack file.
#pragma once

#include <expat.h>  // XML_UNICODE_WCHAR_T comes from the build

#include <cstdint>
#include <string>
#include <vector>

static_assert(sizeof(XML_Char) == 2, "expat must be the wide (UTF-16) build");

constexpr uint32_t kUpToDateBit = 0x1;

struct FileEntry {
    uint32_t flags;     // bit 0: up to date (VerifyFile)
    std::wstring path;  // relative to the working directory, "\" separators
    uint32_t size;      // the manifest's size as a wrapped 32-bit number; progress only
    std::wstring md5;   // expected digest, as written in the manifest
    std::wstring src;   // download URL
};

struct ManifestReader {
    XML_Parser parser;  // non-null only while a manifest is parsed
    int32_t depth;      // 1 inside the root, 2 inside a child of the root
    std::vector<FileEntry> entries;
};

void XMLCALL OnStartElement(void* userData, const XML_Char* name, const XML_Char** attributes);
void XMLCALL OnEndElement(void* userData, const XML_Char* name);
bool AddFileEntry(ManifestReader* reader, const wchar_t* path, const wchar_t* size,
                  const wchar_t* md5, const wchar_t* src);

// Set-up, feed, finish. BeginManifest empties the list; every path through FinishManifest or
// AbandonManifest frees the parser. The manifest is valid when every call returned true.
bool BeginManifest(ManifestReader* reader);
bool FeedManifest(ManifestReader* reader, const char* data, int length);
bool FinishManifest(ManifestReader* reader);
void AbandonManifest(ManifestReader* reader);

// Reads a manifest file in binary mode (other writers denied) in 128-byte chunks.
// False when the file cannot be opened, the parser cannot be made, or the document is invalid.
bool ReadManifestFile(ManifestReader* reader, const wchar_t* path);
