// The cryptography interface the services call, for systems other than Windows: the names,
// types and constants of <wincrypt.h> that the services use, with Windows' ABI, so the same
// service code builds against either. Implemented over NSS by this directory, and by the fake
// platform in the unit tests.
#pragma once

#include <cstddef>
#include <cstdint>

#define WINAPI

typedef uint32_t DWORD;
typedef int BOOL;
typedef uint8_t BYTE;
typedef char16_t WCHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef uintptr_t ULONG_PTR;
typedef unsigned int ALG_ID;

static_assert(sizeof(DWORD) == 4 && sizeof(WCHAR) == 2 && sizeof(BOOL) == 4);

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

typedef void* HCERTSTORE;
typedef ULONG_PTR HCRYPTPROV;
typedef ULONG_PTR HCRYPTPROV_LEGACY;
typedef ULONG_PTR HCRYPTHASH;
typedef ULONG_PTR HCRYPTKEY;

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

struct CRYPTOAPI_BLOB {
    DWORD cbData;
    BYTE* pbData;
};
typedef CRYPTOAPI_BLOB CRYPT_INTEGER_BLOB, *PCRYPT_INTEGER_BLOB;
typedef CRYPTOAPI_BLOB CERT_NAME_BLOB, *PCERT_NAME_BLOB;
typedef CRYPTOAPI_BLOB CRYPT_OBJID_BLOB, *PCRYPT_OBJID_BLOB;

struct CRYPT_BIT_STRING_BLOB {
    DWORD cbData;
    BYTE* pbData;
    DWORD cUnusedBits;
};

struct CRYPT_ALGORITHM_IDENTIFIER {
    LPSTR pszObjId;
    CRYPT_OBJID_BLOB Parameters;
};

struct CERT_PUBLIC_KEY_INFO {
    CRYPT_ALGORITHM_IDENTIFIER Algorithm;
    CRYPT_BIT_STRING_BLOB PublicKey;
};

struct CERT_EXTENSION {
    LPSTR pszObjId;
    BOOL fCritical;
    CRYPT_OBJID_BLOB Value;
};
typedef CERT_EXTENSION* PCERT_EXTENSION;

struct CERT_INFO {
    DWORD dwVersion;
    CRYPT_INTEGER_BLOB SerialNumber;
    CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
    CERT_NAME_BLOB Issuer;
    FILETIME NotBefore;
    FILETIME NotAfter;
    CERT_NAME_BLOB Subject;
    CERT_PUBLIC_KEY_INFO SubjectPublicKeyInfo;
    CRYPT_BIT_STRING_BLOB IssuerUniqueId;
    CRYPT_BIT_STRING_BLOB SubjectUniqueId;
    DWORD cExtension;
    PCERT_EXTENSION rgExtension;
};
typedef CERT_INFO* PCERT_INFO;

struct CERT_CONTEXT {
    DWORD dwCertEncodingType;
    BYTE* pbCertEncoded;
    DWORD cbCertEncoded;
    PCERT_INFO pCertInfo;
    HCERTSTORE hCertStore;
};
typedef const CERT_CONTEXT* PCCERT_CONTEXT;

struct CRYPT_KEY_PROV_PARAM {
    DWORD dwParam;
    BYTE* pbData;
    DWORD cbData;
    DWORD dwFlags;
};

struct CRYPT_KEY_PROV_INFO {
    LPWSTR pwszContainerName;
    LPWSTR pwszProvName;
    DWORD dwProvType;
    DWORD dwFlags;
    DWORD cProvParam;
    CRYPT_KEY_PROV_PARAM* rgProvParam;
    DWORD dwKeySpec;
};
typedef CRYPT_KEY_PROV_INFO* PCRYPT_KEY_PROV_INFO;

#define CERT_STORE_PROV_SYSTEM_W ((LPCSTR)10)
#define CERT_SYSTEM_STORE_CURRENT_USER 0x00010000
#define X509_ASN_ENCODING 0x00000001
#define PKCS_7_ASN_ENCODING 0x00010000
#define CERT_KEY_PROV_INFO_PROP_ID 2
#define CERT_NAME_RDN_TYPE 2
#define CERT_NAME_ISSUER_FLAG 0x1
#define CERT_X500_NAME_STR 3
#define PROV_RSA_FULL 1
#define CRYPT_VERIFYCONTEXT 0xF0000000
#define CALG_SHA1 0x00008004
#define HP_HASHVAL 0x0002
#define AT_KEYEXCHANGE 1
#define AT_SIGNATURE 2

// Last-error values the layer reports; the services never read them.
#define ERROR_INVALID_PARAMETER 87
#define ERROR_MORE_DATA 234
#define ERROR_NOT_ENOUGH_MEMORY 8
#define NTE_BAD_KEYSET ((DWORD)0x80090016)
#define NTE_NO_KEY ((DWORD)0x8009000D)
#define NTE_BAD_ALGID ((DWORD)0x80090008)
#define NTE_BAD_HASH_STATE ((DWORD)0x8009000C)
#define NTE_FAIL ((DWORD)0x80090020)
#define NTE_BAD_FLAGS ((DWORD)0x80090009)
#define NTE_BAD_TYPE ((DWORD)0x8009000A)
#define NTE_BAD_PROV_TYPE ((DWORD)0x80090014)
#define CRYPT_E_NOT_FOUND ((DWORD)0x80092004)

DWORD GetLastError();
void SetLastError(DWORD error);

HCERTSTORE CertOpenStore(LPCSTR storeProvider, DWORD encodingType, HCRYPTPROV_LEGACY cryptProv,
                         DWORD flags, const void* para);
PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE store, PCCERT_CONTEXT previous);
BOOL CertFreeCertificateContext(PCCERT_CONTEXT context);
BOOL CertCloseStore(HCERTSTORE store, DWORD flags);
BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT context, DWORD propId, void* data,
                                       DWORD* dataSize);
DWORD CertGetNameStringW(PCCERT_CONTEXT context, DWORD type, DWORD flags, void* typePara,
                         LPWSTR name, DWORD nameSize);
BOOL CertGetIntendedKeyUsage(DWORD encodingType, PCERT_INFO certInfo, BYTE* keyUsage,
                             DWORD keyUsageSize);

BOOL CryptAcquireContextA(HCRYPTPROV* prov, LPCSTR container, LPCSTR provider, DWORD provType,
                          DWORD flags);
BOOL CryptCreateHash(HCRYPTPROV prov, ALG_ID algorithm, HCRYPTKEY key, DWORD flags,
                     HCRYPTHASH* hash);
BOOL CryptHashData(HCRYPTHASH hash, const BYTE* data, DWORD dataLength, DWORD flags);
BOOL CryptGetHashParam(HCRYPTHASH hash, DWORD param, BYTE* data, DWORD* dataLength, DWORD flags);
BOOL CryptSignHashA(HCRYPTHASH hash, DWORD keySpec, LPCSTR description, DWORD flags,
                    BYTE* signature, DWORD* signatureLength);
BOOL CryptDestroyHash(HCRYPTHASH hash);
BOOL CryptReleaseContext(HCRYPTPROV prov, DWORD flags);
