// add_root_cert: puts a test certificate authority into (or takes it out of) the current user's
// ROOT store of the Wine prefix it runs in, so HTTPS tests trust their own CA and nothing else.
//
//   add_root_cert.exe [--remove] CERT_FILE     (DER or PEM)
//
// Exit status 0 on success, 1 on failure (with a line on standard error).
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

bool ReadWholeFile(const wchar_t* path, std::vector<BYTE>* bytes) {
    const HANDLE file =
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    BYTE buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) bytes->insert(bytes->end(), buffer, buffer + got);
    CloseHandle(file);
    return !bytes->empty();
}

// PEM text becomes DER; DER passes through unchanged.
bool ToDer(const std::vector<BYTE>& file, std::vector<BYTE>* der) {
    DWORD size = 0;
    if (CryptStringToBinaryA(reinterpret_cast<const char*>(file.data()), static_cast<DWORD>(file.size()),
                             CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
        der->resize(size);
        return CryptStringToBinaryA(reinterpret_cast<const char*>(file.data()), static_cast<DWORD>(file.size()),
                                    CRYPT_STRING_BASE64HEADER, der->data(), &size, nullptr, nullptr) != FALSE;
    }
    *der = file;
    return true;
}

bool Remove(HCERTSTORE store, const std::vector<BYTE>& der) {
    PCCERT_CONTEXT wanted = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    if (!wanted) return false;
    PCCERT_CONTEXT found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, wanted, nullptr);
    CertFreeCertificateContext(wanted);
    // Deleting frees the context, found or not; a certificate that is not there counts as removed.
    return !found || CertDeleteCertificateFromStore(found);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const bool remove = argc == 3 && lstrcmpW(argv[1], L"--remove") == 0;
    if (argc != 2 && !remove) {
        fwprintf(stderr, L"usage: add_root_cert [--remove] CERT_FILE\n");
        return 1;
    }
    std::vector<BYTE> file;
    std::vector<BYTE> der;
    if (!ReadWholeFile(argv[argc - 1], &file) || !ToDer(file, &der)) {
        fwprintf(stderr, L"add_root_cert: cannot read %ls\n", argv[argc - 1]);
        return 1;
    }
    const HCERTSTORE store = CertOpenSystemStoreW(0, L"ROOT");
    if (!store) {
        fwprintf(stderr, L"add_root_cert: cannot open the ROOT store (%lu)\n", GetLastError());
        return 1;
    }
    const bool ok = remove ? Remove(store, der)
                           : CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                                              static_cast<DWORD>(der.size()),
                                                              CERT_STORE_ADD_REPLACE_EXISTING, nullptr) != FALSE;
    if (!ok) fwprintf(stderr, L"add_root_cert: %ls failed (%lu)\n", remove ? L"removing" : L"adding", GetLastError());
    CertCloseStore(store, 0);
    return ok ? 0 : 1;
}
