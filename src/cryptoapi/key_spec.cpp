#include "cryptoapi/key_spec.h"

#include <cstring>

DWORD keySpecOf(const CERT_INFO* info) {
    if (strcmp(info->SubjectPublicKeyInfo.Algorithm.pszObjId, "1.2.840.113549.1.1.1") != 0) {
        return AT_SIGNATURE;
    }
    BYTE usage[2] = {0, 0};
    if (!CertGetIntendedKeyUsage(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                 const_cast<CERT_INFO*>(info), usage, sizeof usage)) {
        return AT_KEYEXCHANGE;
    }
    return (usage[0] & 0x20) ? AT_KEYEXCHANGE : AT_SIGNATURE;  // keyEncipherment
}
