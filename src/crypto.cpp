#include "crypto.h"

#include <cstdlib>
#include <cstring>

#include "error_register.h"
#include "utils.h"

namespace {

const WCHAR kMyStoreName[] = {'M', 'y', 0};

HCERTSTORE openMyStore() {
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER,
                         kMyStoreName);
}

// Each service keeps its code locally and publishes it once, so that its own status cannot be
// changed by another thread writing the shared register meanwhile.
int32_t publish(int32_t code) {
    lastError.store(code, std::memory_order_relaxed);
    return code == kSuccess ? 0 : -1;
}

// Common frame of the attribute queries: opens the store and finds the certificate.
// Returns kSuccess, kStoreNotOpened (no store opened) or kCertificateNotInStore (store open,
// `*certificate` null).
int32_t openAndLocate(const BYTE* bytes, int32_t length, HCERTSTORE* store,
                      PCCERT_CONTEXT* certificate) {
    *certificate = nullptr;
    *store = openMyStore();
    if (*store == nullptr) {
        return kStoreNotOpened;
    }
    *certificate = locateCertificate(*store, bytes, length);
    return *certificate == nullptr ? kCertificateNotInStore : kSuccess;
}

// A failed close reports kStoreNotClosed over any earlier code.
int32_t closeQueryStore(HCERTSTORE store, int32_t code) {
    return CertCloseStore(store, 0) ? code : kStoreNotClosed;
}

}  // namespace

PCCERT_CONTEXT locateCertificate(HCERTSTORE store, const BYTE* bytes, int32_t length) {
    PCCERT_CONTEXT certificate = nullptr;
    while ((certificate = CertEnumCertificatesInStore(store, certificate)) != nullptr) {
        if (length >= 0 && certificate->cbCertEncoded == static_cast<DWORD>(length) &&
            memcmp(certificate->pbCertEncoded, bytes, static_cast<size_t>(length)) == 0) {
            return certificate;
        }
    }
    return nullptr;
}

CertificateListNode* getCertificatesInMyStore(int32_t* code) {
    *code = kSuccess;
    HCERTSTORE store = openMyStore();
    if (store == nullptr) {
        *code = kStoreNotOpened;
        lastError.store(kStoreNotOpened, std::memory_order_relaxed);
        return nullptr;
    }
    CertificateListNode* head = nullptr;
    PCCERT_CONTEXT certificate = nullptr;
    while ((certificate = CertEnumCertificatesInStore(store, certificate)) != nullptr) {
        DWORD size = 0;
        if (!CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, nullptr,
                                               &size)) {
            continue;
        }
        auto* node = static_cast<CertificateListNode*>(malloc(sizeof(CertificateListNode)));
        BYTE* data =
            node == nullptr ? nullptr : static_cast<BYTE*>(malloc(certificate->cbCertEncoded));
        if (data == nullptr) {
            free(node);
            CertFreeCertificateContext(certificate);
            freeCertificateList(head);
            head = nullptr;
            break;
        }
        memcpy(data, certificate->pbCertEncoded, certificate->cbCertEncoded);
        node->data = data;
        node->length = static_cast<int32_t>(certificate->cbCertEncoded);
        node->next = head;
        head = node;
    }
    CertCloseStore(store, 0);
    return head;
}

void freeCertificateList(CertificateListNode* head) {
    while (head != nullptr) {
        CertificateListNode* next = head->next;
        free(head->data);
        free(head);
        head = next;
    }
}

int32_t sign(const BYTE* certificate, int32_t certificateLength, const BYTE* data,
             int32_t dataLength, BYTE** signature, DWORD* signatureLength) {
    *signature = nullptr;
    *signatureLength = 0;
    HCERTSTORE store = openMyStore();
    if (store == nullptr) {
        return publish(kStoreNotOpened);
    }

    int32_t code = kSuccess;
    PCCERT_CONTEXT context = nullptr;
    PCRYPT_KEY_PROV_INFO info = nullptr;
    char* container = nullptr;
    char* provider = nullptr;
    HCRYPTPROV prov = 0;
    bool haveProv = false;
    HCRYPTHASH hash = 0;
    bool haveHash = false;
    BYTE* result = nullptr;
    DWORD resultLength = 0;

    do {
        context = locateCertificate(store, certificate, certificateLength);
        if (context == nullptr) {
            code = kCertificateNotInStore;
            break;
        }
        DWORD infoSize = 0;
        if (!CertGetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, nullptr,
                                               &infoSize)) {
            code = kNoKeyInfo;
            break;
        }
        info = static_cast<PCRYPT_KEY_PROV_INFO>(malloc(infoSize));
        if (info == nullptr ||
            !CertGetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, info,
                                               &infoSize) ||
            infoSize < sizeof(CRYPT_KEY_PROV_INFO) || info->pwszContainerName == nullptr) {
            // Without a container name the provider would pick its default key: refuse.
            code = kKeyInfoNotRead;
            break;
        }
        container = utf16string_convert(info->pwszContainerName);
        // A null provider name asks for the default provider, as the platform allows.
        if (info->pwszProvName != nullptr) {
            provider = utf16string_convert(info->pwszProvName);
        }
        if (container == nullptr || (info->pwszProvName != nullptr && provider == nullptr)) {
            code = kKeyInfoNotRead;
            break;
        }
        if (!CryptAcquireContextA(&prov, container, provider, info->dwProvType, 0)) {
            code = kContextNotAcquired;
            break;
        }
        haveProv = true;
        if (!CryptCreateHash(prov, CALG_SHA1, 0, 0, &hash)) {
            code = kHashNotCreated;
            break;
        }
        haveHash = true;
        if (!CryptHashData(hash, data, static_cast<DWORD>(dataLength), 0)) {
            code = kDataNotHashed;
            break;
        }
        DWORD keySpec = AT_KEYEXCHANGE;
        DWORD size = 0;
        if (!CryptSignHashA(hash, keySpec, nullptr, 0, nullptr, &size)) {
            keySpec = AT_SIGNATURE;
            size = 0;
            if (!CryptSignHashA(hash, keySpec, nullptr, 0, nullptr, &size)) {
                code = kNoKeyForHash;
                break;
            }
        }
        result = size == 0 ? nullptr : static_cast<BYTE*>(malloc(size));
        resultLength = size;
        if (result == nullptr ||
            !CryptSignHashA(hash, keySpec, nullptr, 0, result, &resultLength) ||
            resultLength > size) {
            code = kSignatureFailed;
            break;
        }
        reverse(result, static_cast<int32_t>(resultLength));
        code = kSuccess;
    } while (false);

    if (haveHash && !CryptDestroyHash(hash)) {
        code = kHashNotDestroyed;
    }
    if (haveProv && !CryptReleaseContext(prov, 0)) {
        code = kContextNotReleased;
    }
    free(provider);
    free(container);
    free(info);
    if (context != nullptr) {
        CertFreeCertificateContext(context);
    }
    if (!CertCloseStore(store, 0) && code == kSuccess) {
        code = kStoreNotClosed;
    }
    if (code != kSuccess) {
        free(result);
    } else {
        *signature = result;
        *signatureLength = resultLength;
    }
    return publish(code);
}

int32_t digest_sha1(const BYTE* data, int32_t dataLength, BYTE** hash, DWORD* hashLength) {
    *hash = nullptr;
    *hashLength = 0;
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
        return publish(kContextNotAcquired);
    }
    int32_t code = kSuccess;
    HCRYPTHASH object = 0;
    bool haveObject = false;
    BYTE* value = nullptr;
    DWORD valueLength = 0;
    do {
        if (!CryptCreateHash(prov, CALG_SHA1, 0, 0, &object)) {
            code = kHashNotCreated;
            break;
        }
        haveObject = true;
        if (!CryptHashData(object, data, static_cast<DWORD>(dataLength), 0)) {
            code = kDataNotHashed;
            break;
        }
        DWORD size = 0;
        if (!CryptGetHashParam(object, HP_HASHVAL, nullptr, &size, 0)) {
            code = kHashSizeNotRead;
            break;
        }
        value = size == 0 ? nullptr : static_cast<BYTE*>(malloc(size));
        valueLength = size;
        if (value == nullptr || !CryptGetHashParam(object, HP_HASHVAL, value, &valueLength, 0) ||
            valueLength > size) {
            code = kHashValueNotRead;
            break;
        }
        code = kSuccess;
    } while (false);

    if (haveObject && !CryptDestroyHash(object)) {
        code = kHashNotDestroyed;
    }
    if (!CryptReleaseContext(prov, 0)) {
        code = kContextNotReleased;
    }
    if (code != kSuccess) {
        free(value);
    } else {
        *hash = value;
        *hashLength = valueLength;
    }
    return publish(code);
}

int32_t getCertificateDn(const BYTE* bytes, int32_t length, DWORD flags, WCHAR** name,
                         DWORD* nameLength) {
    *name = nullptr;
    *nameLength = 0;
    HCERTSTORE store = nullptr;
    PCCERT_CONTEXT certificate = nullptr;
    int32_t code = openAndLocate(bytes, length, &store, &certificate);
    if (code == kStoreNotOpened) {
        return publish(code);
    }
    WCHAR* buffer = nullptr;
    DWORD count = 0;
    DWORD stringType = CERT_X500_NAME_STR;
    if (certificate != nullptr) {
        const DWORD needed =
            CertGetNameStringW(certificate, CERT_NAME_RDN_TYPE, flags, &stringType, nullptr, 0);
        if (needed == 0) {
            code = kNameLengthNotRead;
        } else if ((buffer = static_cast<WCHAR*>(malloc(2 * static_cast<size_t>(needed)))) ==
                   nullptr) {
            code = kNoMemoryForName;
        } else {
            count = CertGetNameStringW(certificate, CERT_NAME_RDN_TYPE, flags, &stringType, buffer,
                                       needed);
            code = (count == 0 || count > needed) ? kNameNotRead : kSuccess;
        }
        CertFreeCertificateContext(certificate);
    }
    code = closeQueryStore(store, code);
    if (code != kSuccess) {
        free(buffer);
    } else {
        *name = buffer;
        *nameLength = count;
    }
    return publish(code);
}

int32_t getCertificateTimestamp(const BYTE* bytes, int32_t length, int32_t notBefore,
                                FILETIME* filetime) {
    HCERTSTORE store = nullptr;
    PCCERT_CONTEXT certificate = nullptr;
    int32_t code = openAndLocate(bytes, length, &store, &certificate);
    if (code == kStoreNotOpened) {
        return publish(code);
    }
    FILETIME value = {0, 0};
    if (certificate != nullptr) {
        value = notBefore ? certificate->pCertInfo->NotBefore : certificate->pCertInfo->NotAfter;
        CertFreeCertificateContext(certificate);
    }
    code = closeQueryStore(store, code);
    if (code == kSuccess) {
        *filetime = value;
    }
    return publish(code);
}

int32_t getCertificateVersion(const BYTE* bytes, int32_t length, DWORD* version) {
    HCERTSTORE store = nullptr;
    PCCERT_CONTEXT certificate = nullptr;
    int32_t code = openAndLocate(bytes, length, &store, &certificate);
    if (code == kStoreNotOpened) {
        return publish(code);
    }
    DWORD value = 0;
    if (certificate != nullptr) {
        value = certificate->pCertInfo->dwVersion;
        CertFreeCertificateContext(certificate);
    }
    code = closeQueryStore(store, code);
    if (code == kSuccess) {
        *version = value;
    }
    return publish(code);
}

int32_t getCertificateSerialNumber(const BYTE* bytes, int32_t length, CRYPT_INTEGER_BLOB* blob,
                                   PCCERT_CONTEXT* certificate) {
    *certificate = nullptr;
    HCERTSTORE store = nullptr;
    PCCERT_CONTEXT located = nullptr;
    int32_t code = openAndLocate(bytes, length, &store, &located);
    if (code == kStoreNotOpened) {
        return publish(code);
    }
    // The context outlives the store: its serial bytes are copied by the caller.
    code = closeQueryStore(store, code);
    if (code != kSuccess) {
        if (located != nullptr) {
            CertFreeCertificateContext(located);
        }
        return publish(code);
    }
    blob->cbData = located->pCertInfo->SerialNumber.cbData;
    blob->pbData = located->pCertInfo->SerialNumber.pbData;
    *certificate = located;
    return publish(kSuccess);
}

int32_t getCertificateKeyUsage(const BYTE* bytes, int32_t length, BYTE* buffer) {
    HCERTSTORE store = nullptr;
    PCCERT_CONTEXT certificate = nullptr;
    int32_t code = openAndLocate(bytes, length, &store, &certificate);
    if (code == kStoreNotOpened) {
        return publish(code);
    }
    if (certificate != nullptr) {
        if (!CertGetIntendedKeyUsage(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                     certificate->pCertInfo, buffer, 2)) {
            code = kNoKeyUsage;
        }
        CertFreeCertificateContext(certificate);
    }
    // Unlike the other queries, a failed close only replaces success.
    if (!CertCloseStore(store, 0) && code == kSuccess) {
        code = kStoreNotClosed;
    }
    return publish(code);
}
