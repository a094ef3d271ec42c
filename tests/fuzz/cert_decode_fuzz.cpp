// Certificates decoded into CERT_INFO, and everything read from a decoded one.
#include <cstdint>
#include <vector>

#include "cryptoapi/cert_decode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto cert = decodeCertificate(data, size);
    if (cert == nullptr) {
        return 0;
    }
    CERT_CONTEXT context{X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, cert->encoded.data(),
                         static_cast<DWORD>(cert->encoded.size()), &cert->info, nullptr};
    BYTE usage[2];
    CertGetIntendedKeyUsage(X509_ASN_ENCODING, &cert->info, usage, sizeof usage);
    DWORD type = CERT_X500_NAME_STR;
    for (DWORD flags : {DWORD{0}, DWORD{CERT_NAME_ISSUER_FLAG}}) {
        const DWORD needed =
            CertGetNameStringW(&context, CERT_NAME_RDN_TYPE, flags, &type, nullptr, 0);
        std::vector<WCHAR> name(needed + 1);
        CertGetNameStringW(&context, CERT_NAME_RDN_TYPE, flags, &type, name.data(), needed);
        CertGetNameStringW(&context, CERT_NAME_RDN_TYPE, flags, &type, name.data(), needed / 2);
    }
    return 0;
}
