// Certificate and signature services over the current user's personal store "My".
//
// Every service but the listing returns 0 on success and -1 on failure, and leaves its code in
// `lastError` (0 on success). A buffer handed back comes from malloc() and belongs to the caller;
// nothing is handed back on -1. Allocation failures are reported under the code of the step that
// needed the memory:
//   sign: 10 for the key-provider information and the narrowed names, 11 for the signature;
//   digest_sha1: 1 for the hash value;
//   getCertificateDn: 18.
#pragma once

#include <cstdint>

#include "cryptoapi/platform.h"

// The codes of the error register `lastError`. 12 is never assigned.
enum ErrorCode : int32_t {
    kSuccess = 0,
    kHashValueNotRead = 1,
    kHashSizeNotRead = 2,
    kHashNotDestroyed = 3,
    kHashNotCreated = 4,
    kContextNotReleased = 5,
    kContextNotAcquired = 6,
    kStoreNotOpened = 7,
    kCertificateNotInStore = 8,
    kStoreNotClosed = 9,
    kKeyInfoNotRead = 10,
    kSignatureFailed = 11,
    kNoKeyForHash = 13,
    kNoKeyInfo = 14,
    kDataNotHashed = 15,
    kNameLengthNotRead = 16,
    kNameNotRead = 17,
    kNoMemoryForName = 18,
    kNoKeyUsage = 19,
};

struct CertificateListNode {
    BYTE* data;
    int32_t length;
    CertificateListNode* next;
};

// The first certificate of `store` whose encoding equals `bytes`, or null. The caller holds the
// returned context and gives it back with CertFreeCertificateContext.
PCCERT_CONTEXT locateCertificate(HCERTSTORE store, const BYTE* bytes, int32_t length);

// The certificates of the personal store that have a private key, newest enumeration first.
// Returns null when there are none. `*code` becomes 7 (also written to `lastError`) when the store
// cannot be opened, else 0; an allocation failure gives null with `*code` 0 and `lastError`
// untouched. Release the list with freeCertificateList.
CertificateListNode* getCertificatesInMyStore(int32_t* code);

// Releases every node and its data; null does nothing.
void freeCertificateList(CertificateListNode* head);

// Signs SHA-1(data) with the private key of the given certificate: RSA PKCS#1 v1.5, most
// significant byte first. Codes 3-11, 13-15.
int32_t sign(const BYTE* certificate, int32_t certificateLength, const BYTE* data,
             int32_t dataLength, BYTE** signature, DWORD* signatureLength);

// The 20-byte SHA-1 of data. Codes 1-6, 15.
int32_t digest_sha1(const BYTE* data, int32_t dataLength, BYTE** hash, DWORD* hashLength);

// The subject (flags 0) or issuer (CERT_NAME_ISSUER_FLAG) name in X.500 string form. `*name` is a
// malloc'd buffer of `*nameLength` UTF-16 units, the terminating 0 included. Codes 7-9, 16-18.
int32_t getCertificateDn(const BYTE* bytes, int32_t length, DWORD flags, WCHAR** name,
                         DWORD* nameLength);

// NotBefore when `notBefore` is non-zero, else NotAfter. Codes 7-9.
int32_t getCertificateTimestamp(const BYTE* bytes, int32_t length, int32_t notBefore,
                                FILETIME* filetime);

// dwVersion: 0, 1 or 2 for X.509 v1, v2, v3. Codes 7-9.
int32_t getCertificateVersion(const BYTE* bytes, int32_t length, DWORD* version);

// The serial number, least significant byte first. `blob` points into `*certificate`, which the
// caller gives back with CertFreeCertificateContext once the bytes are copied. Codes 7-9.
int32_t getCertificateSerialNumber(const BYTE* bytes, int32_t length, CRYPT_INTEGER_BLOB* blob,
                                   PCCERT_CONTEXT* certificate);

// The first two key-usage bytes into `buffer`. Codes 7, 8, 9 (only after success) and 19.
int32_t getCertificateKeyUsage(const BYTE* bytes, int32_t length, BYTE* buffer);
