// CertGetNameStringW for the one form the services ask: CERT_NAME_RDN_TYPE with
// CERT_X500_NAME_STR, of the subject (flags 0) or the issuer (CERT_NAME_ISSUER_FLAG).
//
// Returns the units needed, terminating null included, when `name` is null or `nameSize` is 0;
// otherwise writes at most `nameSize` units, always null-terminated, and returns the units
// written, the null included. A name with no RDNs gives the first directoryName of the matching
// alternative-name extension, or else "" (count 1); so does a name that does not decode, without
// the fallback. Returns 0 (ERROR_INVALID_PARAMETER) for any other type, string type or flag, and
// 0 (ERROR_NOT_ENOUGH_MEMORY) when the text cannot be built.
#include <new>
#include <string>

#include "cryptoapi/cert_decode.h"
#include "cryptoapi/cryptoapi.h"
#include "cryptoapi/x500_name.h"

namespace {

std::u16string nameOf(const CERT_INFO* info, bool issuer) {
    const CERT_NAME_BLOB& blob = issuer ? info->Issuer : info->Subject;
    std::u16string text;
    const bool decoded = renderX500Name(blob.pbData, blob.cbData, &text);
    const CERT_EXTENSION* alternative = findExtension(info, issuer ? "2.5.29.18" : "2.5.29.17");
    const uint8_t* inner = nullptr;
    size_t innerLength = 0;
    if (decoded && text.empty() && alternative != nullptr &&
        findDirectoryName(alternative->Value.pbData, alternative->Value.cbData, &inner,
                          &innerLength)) {
        renderX500Name(inner, innerLength, &text);
    }
    return text;
}

}  // namespace

DWORD CertGetNameStringW(PCCERT_CONTEXT context, DWORD type, DWORD flags, void* typePara,
                         LPWSTR name, DWORD nameSize) {
    if (context == nullptr || context->pCertInfo == nullptr || type != CERT_NAME_RDN_TYPE ||
        typePara == nullptr || *static_cast<const DWORD*>(typePara) != CERT_X500_NAME_STR ||
        (flags & ~DWORD{CERT_NAME_ISSUER_FLAG}) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    try {
        const std::u16string text = nameOf(context->pCertInfo, flags == CERT_NAME_ISSUER_FLAG);
        if (text.size() >= UINT32_MAX) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        const DWORD needed = static_cast<DWORD>(text.size() + 1);
        if (name == nullptr || nameSize == 0) {
            return needed;
        }
        const DWORD count = needed < nameSize ? needed : nameSize;
        text.copy(name, count - 1);
        name[count - 1] = 0;
        return count;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}
