// Attribute operations that read only the decoded certificate, so they need no NSS.
#include <cstring>

#include "cryptoapi/cert_decode.h"
#include "cryptoapi/cryptoapi.h"
#include "cryptoapi/der.h"

BOOL CertGetIntendedKeyUsage(DWORD /*encodingType*/, PCERT_INFO certInfo, BYTE* keyUsage,
                             DWORD keyUsageSize) {
    memset(keyUsage, 0, keyUsageSize);
    const CERT_EXTENSION* extension = findExtension(certInfo, "2.5.29.15");
    der::Reader reader(extension == nullptr ? nullptr : extension->Value.pbData,
                       extension == nullptr ? 0 : extension->Value.cbData);
    der::Element bits;
    // A value that is not a BIT STRING counts as no extension. Like the platform, the bits are
    // handed out as encoded, whatever the count of unused bits says, and only when they all fit.
    if (extension == nullptr || !reader.next(&bits, der::kBitString) || bits.contentLength == 0 ||
        bits.contentLength - 1 > keyUsageSize) {
        SetLastError(0);
        return FALSE;
    }
    memcpy(keyUsage, bits.content + 1, bits.contentLength - 1);
    return TRUE;
}
