// Provider operations of the cryptography interface: contexts over the store's private keys,
// SHA-1 hashes and RSA PKCS#1 v1.5 signatures.
//
// Hashing is OpenSSL's (about 2.7 times NSS's SHA-1 here) and needs no lock. Signing stays inside
// NSS, so that a key never leaves its token and a smart card signs the same way; every NSS call
// is made under nsslayer::lock(). A key resolved from a container name is kept while the store's
// snapshot is unchanged: finding it and its certificate on the token again on every call made
// firmar about 1.3 times a bare PK11_Sign (RSA-2048), against about 1.0 with the cache.
#include <cert.h>
#include <keyhi.h>
#include <openssl/evp.h>
#include <pk11pub.h>

#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>

#include "cryptoapi/cert_decode.h"
#include "cryptoapi/cryptoapi.h"
#include "nss/layer.h"

namespace {

constexpr DWORD kSha1Length = 20;
// SCARD_W_CARD_NOT_AUTHENTICATED: what Windows reports for a key that needs a PIN first.
constexpr DWORD kNotLoggedIn = 0x8010006F;

// A private key found on a token. Destroyed, like every NSS object, with the lock held: each
// owner drops its reference under nsslayer::lock().
struct Key {
    SECKEYPrivateKey* key = nullptr;
    DWORD spec = 0;  // AT_KEYEXCHANGE or AT_SIGNATURE; 0 for a key that is not RSA
    unsigned int signatureLength = 0;

    Key() = default;
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    ~Key() {
        if (key != nullptr) {
            SECKEY_DestroyPrivateKey(key);
        }
    }
};

struct Provider {
    std::shared_ptr<Key> key;  // null for a CRYPT_VERIFYCONTEXT context
};

struct Hash {
    std::shared_ptr<Key> key;  // the provider's, so that the hash outlives a released context
    EVP_MD_CTX* context = nullptr;
    bool finished = false;  // the value was read or signed: no more data
    BYTE value[kSha1Length] = {};
};

// Keys resolved while the store's snapshot is unchanged, by provider name and key ID.
struct KeyCache {
    unsigned long generation = 0;
    std::map<std::string, std::shared_ptr<Key>> keys;
};

KeyCache& keyCache() {
    static KeyCache* cache = new KeyCache;  // never destroyed: NSS objects outlive static exit
    return *cache;
}

const EVP_MD* sha1() {
    // Fetched once: an implicit fetch on every EVP_DigestInit_ex costs a provider lookup.
    static const EVP_MD* md = [] {
        const EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA1", nullptr);
        return fetched != nullptr ? fetched : EVP_sha1();
    }();
    return md;
}

BOOL failWith(DWORD error) {
    SetLastError(error);
    return FALSE;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The key ID named by a container: its bytes in hex. False when the name is not that.
bool keyIdOf(const char* container, std::string* id) {
    const size_t length = strlen(container);
    if (length == 0 || length % 2 != 0) {
        return false;
    }
    id->clear();
    for (size_t i = 0; i < length; i += 2) {
        const int high = hexDigit(container[i]), low = hexDigit(container[i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        id->push_back(static_cast<char>(high << 4 | low));
    }
    return true;
}

bool needsLogin(PK11SlotInfo* slot) {
    return PK11_NeedLogin(slot) && !PK11_IsLoggedIn(slot, nullptr);
}

// What the key answers to: the spec of its certificate when it is RSA, nothing otherwise.
DWORD specOf(SECKEYPrivateKey* key) {
    if (SECKEY_GetPrivateKeyType(key) != rsaKey) {
        return 0;
    }
    CERTCertificate* cert = PK11_GetCertFromPrivateKey(key);
    if (cert == nullptr) {
        return AT_KEYEXCHANGE;  // no certificate restricts it
    }
    const std::unique_ptr<DecodedCertificate> decoded =
        decodeCertificate(cert->derCert.data, cert->derCert.len);
    CERT_DestroyCertificate(cert);
    return decoded == nullptr ? AT_KEYEXCHANGE : nsslayer::keySpecOf(&decoded->info);
}

// Finds the key with the given ID on the named token, or on any store token when `token` is null.
// Call with the lock held. Null with the last error set when there is none to use.
std::shared_ptr<Key> findKey(const char* token, std::string& id) {
    SECItem item = {siBuffer, reinterpret_cast<unsigned char*>(id.data()),
                    static_cast<unsigned int>(id.size())};
    bool behindLogin = false;
    for (PK11SlotInfo* slot : nsslayer::storeSlots()) {
        if ((token != nullptr && strcmp(PK11_GetTokenName(slot), token) != 0) ||
            !PK11_IsPresent(slot)) {
            continue;
        }
        if (needsLogin(slot)) {
            behindLogin = true;  // login is not supported yet: such keys are out of reach
            continue;
        }
        SECKEYPrivateKey* found = PK11_FindKeyByKeyID(slot, &item, nullptr);
        if (found == nullptr) {
            continue;
        }
        auto key = std::make_shared<Key>();
        key->spec = specOf(found);
        const int length = PK11_SignatureLen(found);
        key->signatureLength = length > 0 ? static_cast<unsigned int>(length) : 0;
        // A session copy on the same token signs without the token reading the key back from its
        // database each time (a fifth of a signature here); a token that will not copy its keys,
        // as a smart card will not, signs with its own.
        if (SECKEYPrivateKey* copy = PK11_CopyTokenPrivKeyToSessionPrivKey(slot, found)) {
            SECKEY_DestroyPrivateKey(found);
            found = copy;
        }
        key->key = found;
        return key;
    }
    SetLastError(behindLogin ? kNotLoggedIn : NTE_BAD_KEYSET);
    return nullptr;
}

// The key of a container, from the cache while the store is unchanged. Call with the lock held.
std::shared_ptr<Key> resolveKey(const char* container, const char* token) {
    std::string id;
    if (!keyIdOf(container, &id)) {
        SetLastError(NTE_BAD_KEYSET);
        return nullptr;
    }
    KeyCache& cache = keyCache();
    if (cache.generation != nsslayer::storeGeneration()) {
        cache.keys.clear();
        cache.generation = nsslayer::storeGeneration();
    }
    std::string name = token == nullptr ? std::string("*") : std::string("=") + token;
    name.push_back('\0');
    name += id;
    const auto cached = cache.keys.find(name);
    if (cached != cache.keys.end()) {
        // A token may have logged out since; a key behind a login stays out of reach.
        if (needsLogin(cached->second->key->pkcs11Slot)) {
            SetLastError(kNotLoggedIn);
            return nullptr;
        }
        return cached->second;
    }
    std::shared_ptr<Key> key = findKey(token, id);
    if (key != nullptr) {
        cache.keys.emplace(std::move(name), key);
    }
    return key;
}

// Drops a key reference with the lock held, as NSS objects are destroyed.
void dropKey(std::shared_ptr<Key>& key) {
    if (key != nullptr) {
        std::lock_guard<std::mutex> guard(nsslayer::lock());
        key.reset();
    }
}

void finish(Hash* hash) {
    if (!hash->finished) {
        unsigned int length = 0;
        EVP_DigestFinal_ex(hash->context, hash->value, &length);
        hash->finished = true;
    }
}

}  // namespace

BOOL CryptAcquireContextA(HCRYPTPROV* prov, LPCSTR container, LPCSTR provider, DWORD provType,
                          DWORD flags) {
    if (prov == nullptr) {
        return failWith(ERROR_INVALID_PARAMETER);
    }
    *prov = 0;
    if ((flags & ~static_cast<DWORD>(CRYPT_VERIFYCONTEXT)) != 0) {
        return failWith(NTE_BAD_FLAGS);
    }
    if (provType != PROV_RSA_FULL) {
        return failWith(NTE_BAD_PROV_TYPE);
    }
    try {
        auto context = std::make_unique<Provider>();
        if (flags != CRYPT_VERIFYCONTEXT) {
            // Without a container the provider would pick a default key: there is none here.
            if (container == nullptr) {
                return failWith(NTE_BAD_KEYSET);
            }
            std::lock_guard<std::mutex> guard(nsslayer::lock());
            context->key = resolveKey(container, provider);
            if (context->key == nullptr) {
                return FALSE;
            }
        }
        *prov = reinterpret_cast<HCRYPTPROV>(context.release());
        nsslayer::outstanding().providers.fetch_add(1, std::memory_order_relaxed);
        return TRUE;
    } catch (const std::bad_alloc&) {
        return failWith(ERROR_NOT_ENOUGH_MEMORY);
    }
}

BOOL CryptReleaseContext(HCRYPTPROV prov, DWORD flags) {
    auto* context = reinterpret_cast<Provider*>(prov);
    if (context == nullptr) {
        return failWith(ERROR_INVALID_PARAMETER);
    }
    // As on Windows, non-zero flags are refused but the context is released all the same.
    dropKey(context->key);
    delete context;
    nsslayer::outstanding().providers.fetch_sub(1, std::memory_order_relaxed);
    return flags == 0 ? TRUE : failWith(NTE_BAD_FLAGS);
}

BOOL CryptCreateHash(HCRYPTPROV prov, ALG_ID algorithm, HCRYPTKEY key, DWORD flags,
                     HCRYPTHASH* hash) {
    auto* context = reinterpret_cast<Provider*>(prov);
    if (context == nullptr || hash == nullptr || key != 0) {
        return failWith(ERROR_INVALID_PARAMETER);
    }
    *hash = 0;
    if (algorithm != CALG_SHA1) {
        return failWith(NTE_BAD_ALGID);
    }
    if (flags != 0) {
        return failWith(NTE_BAD_FLAGS);
    }
    auto* object = new (std::nothrow) Hash;
    if (object == nullptr) {
        return failWith(ERROR_NOT_ENOUGH_MEMORY);
    }
    object->context = EVP_MD_CTX_new();
    if (object->context == nullptr || EVP_DigestInit_ex(object->context, sha1(), nullptr) != 1) {
        EVP_MD_CTX_free(object->context);
        delete object;
        return failWith(NTE_FAIL);
    }
    object->key = context->key;  // an atomic count: no NSS call
    *hash = reinterpret_cast<HCRYPTHASH>(object);
    nsslayer::outstanding().hashes.fetch_add(1, std::memory_order_relaxed);
    return TRUE;
}

BOOL CryptDestroyHash(HCRYPTHASH hash) {
    auto* object = reinterpret_cast<Hash*>(hash);
    if (object == nullptr) {
        return failWith(ERROR_INVALID_PARAMETER);
    }
    EVP_MD_CTX_free(object->context);
    dropKey(object->key);
    delete object;
    nsslayer::outstanding().hashes.fetch_sub(1, std::memory_order_relaxed);
    return TRUE;
}

BOOL CryptHashData(HCRYPTHASH hash, const BYTE* data, DWORD dataLength, DWORD flags) {
    auto* object = reinterpret_cast<Hash*>(hash);
    if (object == nullptr || (data == nullptr && dataLength != 0)) {
        return failWith(ERROR_INVALID_PARAMETER);
    }
    if (flags != 0) {
        return failWith(NTE_BAD_FLAGS);
    }
    if (object->finished) {
        return failWith(NTE_BAD_HASH_STATE);
    }
    if (dataLength != 0 && EVP_DigestUpdate(object->context, data, dataLength) != 1) {
        return failWith(NTE_FAIL);
    }
    return TRUE;
}

BOOL CryptGetHashParam(HCRYPTHASH hash, DWORD param, BYTE* data, DWORD* dataLength, DWORD flags) {
    auto* object = reinterpret_cast<Hash*>(hash);
    if (object == nullptr || dataLength == nullptr) {
        return failWith(ERROR_INVALID_PARAMETER);
    }
    if (flags != 0) {
        return failWith(NTE_BAD_FLAGS);
    }
    if (param != HP_HASHVAL) {
        return failWith(NTE_BAD_TYPE);
    }
    // A size query leaves the hash open; reading the value closes it.
    if (data == nullptr) {
        *dataLength = kSha1Length;
        return TRUE;
    }
    if (*dataLength < kSha1Length) {
        *dataLength = kSha1Length;
        return failWith(ERROR_MORE_DATA);
    }
    finish(object);
    memcpy(data, object->value, kSha1Length);
    *dataLength = kSha1Length;
    return TRUE;
}

BOOL CryptSignHashA(HCRYPTHASH hash, DWORD keySpec, LPCSTR /*description*/, DWORD flags,
                    BYTE* signature, DWORD* signatureLength) {
    auto* object = reinterpret_cast<Hash*>(hash);
    if (object == nullptr || signatureLength == nullptr) {
        return failWith(ERROR_INVALID_PARAMETER);
    }
    if (flags != 0) {
        return failWith(NTE_BAD_FLAGS);
    }
    const Key* key = object->key.get();
    if (key == nullptr || key->spec == 0 || key->spec != keySpec || key->signatureLength == 0) {
        return failWith(NTE_NO_KEY);
    }
    if (signature == nullptr) {
        *signatureLength = key->signatureLength;
        return TRUE;
    }
    if (*signatureLength < key->signatureLength) {
        *signatureLength = key->signatureLength;
        return failWith(ERROR_MORE_DATA);
    }
    finish(object);
    // PKCS#1 v1.5 over the DigestInfo of SHA-1, through the raw RSA mechanism: NSS's policy on
    // SHA-1 signatures governs its hash-and-sign paths only.
    static const BYTE prefix[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                                  0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
    BYTE digestInfo[sizeof prefix + kSha1Length];
    memcpy(digestInfo, prefix, sizeof prefix);
    memcpy(digestInfo + sizeof prefix, object->value, kSha1Length);
    SECItem input = {siBuffer, digestInfo, sizeof digestInfo};
    SECItem output = {siBuffer, signature, *signatureLength};
    SECStatus status;
    {
        std::lock_guard<std::mutex> guard(nsslayer::lock());
        status = PK11_Sign(key->key, &output, &input);
    }
    if (status != SECSuccess) {
        return failWith(NTE_FAIL);
    }
    // The interface hands signatures back least significant byte first.
    for (unsigned int i = 0, j = output.len; i + 1 < j; ++i, --j) {
        const BYTE swapped = signature[i];
        signature[i] = signature[j - 1];
        signature[j - 1] = swapped;
    }
    *signatureLength = output.len;
    return TRUE;
}
