// Adds the CA certificates of a PEM file to the current user's root store, the way a Windows
// user or an administrator trusts a private CA; the end-to-end run's HTTPS leg under Wine needs
// it, because Wine cannot import the key-less PKCS#12 that carries --ca-file to Schannel.
//   trust_ca.exe FILE.pem

#include <windows.h>

#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2) {
        std::fputs("usage: trust_ca FILE.pem\n", stderr);
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    std::stringstream pem;
    pem << file.rdbuf();
    const std::string text = pem.str();
    HCERTSTORE store
        = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"ROOT");
    if (!store) {
        std::fprintf(stderr, "trust_ca: cannot open the root store (%lu)\n", GetLastError());
        return 1;
    }
    int added = 0;
    const std::string begin = "-----BEGIN CERTIFICATE-----", end = "-----END CERTIFICATE-----";
    for (size_t at = text.find(begin); at != std::string::npos; at = text.find(begin, at + 1)) {
        const size_t stop = text.find(end, at);
        if (stop == std::string::npos)
            break;
        const std::string block = text.substr(at, stop + end.size() - at);
        DWORD size = 0;
        if (!CryptStringToBinaryA(block.c_str(), DWORD(block.size()), CRYPT_STRING_BASE64HEADER,
                nullptr, &size, nullptr, nullptr))
            continue;
        std::string der(size, '\0');
        if (CryptStringToBinaryA(block.c_str(), DWORD(block.size()), CRYPT_STRING_BASE64HEADER,
                reinterpret_cast<BYTE*>(der.data()), &size, nullptr, nullptr)
            && CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING,
                reinterpret_cast<const BYTE*>(der.data()), size, CERT_STORE_ADD_REPLACE_EXISTING,
                nullptr))
            ++added;
    }
    CertCloseStore(store, 0);
    if (added == 0) {
        std::fputs("trust_ca: no certificate added\n", stderr);
        return 1;
    }
    std::printf("trust_ca: %d certificate(s) added to the user's root store\n", added);
    return 0;
}
