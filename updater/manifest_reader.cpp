#include "manifest_reader.h"

void XMLCALL OnStartElement(void*, const XML_Char*, const XML_Char**) {}
void XMLCALL OnEndElement(void*, const XML_Char*) {}
bool AddFileEntry(ManifestReader*, const wchar_t*, const wchar_t*, const wchar_t*, const wchar_t*) {
    return false;
}
bool BeginManifest(ManifestReader*) { return false; }
bool FeedManifest(ManifestReader*, const char*, int) { return false; }
bool FinishManifest(ManifestReader*) { return false; }
void AbandonManifest(ManifestReader*) {}
bool ReadManifestFile(ManifestReader*, const wchar_t*) { return false; }
