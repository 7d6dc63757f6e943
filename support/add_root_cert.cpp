// add_root_cert: puts a test certificate authority (a PEM file) into the current user's ROOT store
// of the Wine prefix it runs in, so HTTPS tests trust their own authority. It stays there: the
// prefix lives in the build folder, and Wine does not write a certificate's removal back anyway.
//
//   add_root_cert.exe CERT_FILE
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        fwprintf(stderr, L"usage: add_root_cert CERT_FILE\n");
        return 1;
    }
    std::ifstream file(std::filesystem::path(argv[1]), std::ios::binary);
    const std::string pem((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    BYTE der[16384];  // a test authority's certificate takes about 1 KiB
    DWORD size = sizeof(der);
    if (!CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, der, &size,
                              nullptr, nullptr)) {
        fwprintf(stderr, L"add_root_cert: cannot read %ls\n", argv[1]);
        return 1;
    }
    const HCERTSTORE store = CertOpenSystemStoreW(0, L"ROOT");
    const bool ok = store && CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, size,
                                                              CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    if (!ok) fwprintf(stderr, L"add_root_cert: cannot add to the ROOT store (%lu)\n", GetLastError());
    if (store) CertCloseStore(store, 0);
    return ok ? 0 : 1;
}
