// Adds a test CA's certificate (DER file) to the machine's root store of
// the Wine prefix, or removes it again, so that WinInet's HTTPS can be
// tested against a CA made at test time.
//   trustca add|remove CERT.der
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: trustca add|remove CERT.der\n");
        return 2;
    }
    std::ifstream in(argv[2], std::ios::binary);
    const std::vector<unsigned char> der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (der.empty()) {
        std::fprintf(stderr, "trustca: can't read %s\n", argv[2]);
        return 1;
    }
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (store == nullptr) {
        std::fprintf(stderr, "trustca: can't open the root store (%lu)\n", GetLastError());
        return 1;
    }
    int status = 0;
    const std::string action = argv[1];
    if (action == "add") {
        if (!CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                              CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
            std::fprintf(stderr, "trustca: can't add (%lu)\n", GetLastError());
            status = 1;
        }
    } else {
        PCCERT_CONTEXT wanted =
            CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
        PCCERT_CONTEXT found = wanted == nullptr ? nullptr
                                                 : CertFindCertificateInStore(store, X509_ASN_ENCODING, 0,
                                                                              CERT_FIND_EXISTING, wanted, nullptr);
        if (found != nullptr) CertDeleteCertificateFromStore(found);  // frees found
        if (wanted != nullptr) CertFreeCertificateContext(wanted);
    }
    CertCloseStore(store, 0);
    return status;
}
