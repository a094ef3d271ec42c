// Provider operations of the cryptography interface: contexts over the store's private keys,
// SHA-1 hashes and RSA PKCS#1 v1.5 signatures.
//
// Hashing is OpenSSL's (about 2.7 times NSS's SHA-1 here) and needs no lock. Signing stays inside
// NSS, so that a key never leaves its token and a smart card signs the same way; every NSS call
// is made under nsslayer::lock(). A key resolved from a container name is kept while the store's
// snapshot is unchanged and its token stays logged in (BENCHMARKS.md has what that saves).
//
// A key behind a login (a smart card's PIN, a database's password) is logged in to while the
// context is acquired, through nsslayer::logIn; the lock is released meanwhile. A token stays
// logged in for the life of the process, so later signatures ask nothing.
//
// Every signature is checked, before it is handed back, against the public key of each
// certificate of the store that names this key (same token, same CKA_ID): a CKA_ID pointing at
// the wrong key, or a faulty token, fails the signature instead of returning one that does not
// verify. When several certificates share the CKA_ID, the signature must verify under every one
// of their public keys, so no certificate can be left with a signature its key did not make. A
// key that no certificate of the store names is not used.
//
// Keys marked CKA_ALWAYS_AUTHENTICATE need a login inside each signing operation, which NSS offers
// only through the process-global password callback: they are refused at acquire.
#include <cert.h>
#include <keyhi.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <pk11pub.h>
#include <pkcs11.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "cryptoapi/cert_decode.h"
#include "cryptoapi/cryptoapi.h"
#include "cryptoapi/x500_name.h"
#include "nss/layer.h"
#include "nss/login.h"

namespace {

constexpr DWORD kSha1Length = 20;
constexpr DWORD kBadSignature = 0x80090006;    // NTE_BAD_SIGNATURE
constexpr DWORD kUnsupportedKey = 0x80100022;  // SCARD_E_UNSUPPORTED_FEATURE

struct PrivateKeyDeleter {
    void operator()(SECKEYPrivateKey* key) const { SECKEY_DestroyPrivateKey(key); }
};
using PrivateKeyPointer = std::unique_ptr<SECKEYPrivateKey, PrivateKeyDeleter>;

struct PublicKeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using PublicKeyPointer = std::unique_ptr<EVP_PKEY, PublicKeyDeleter>;

// A private key found on a token. Destroyed, like every NSS object, with the lock held: each
// owner drops its reference under nsslayer::lock().
struct Key {
    PrivateKeyPointer key;
    DWORD spec = 0;  // AT_KEYEXCHANGE or AT_SIGNATURE; 0 for a key that is not RSA
    unsigned int signatureLength = 0;
    // The public keys of the certificates that name this key, one of each; OpenSSL's, no lock.
    std::vector<PublicKeyPointer> certificateKeys;
    // Set when the token refused to sign with it (a handle gone stale after a logout or a
    // reinsertion): the next acquire looks the key up again.
    std::atomic<bool> stale{false};
    // Found on the database slot at this opening of it (see cutOff).
    bool onDatabase = false;
    unsigned long opening = 0;

    Key() = default;
    ~Key();
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
};

// A key of a database since closed or replaced.
bool closedDatabase(const Key& key) {
    return key.onDatabase && key.opening != nsslayer::databaseOpening();
}

// A key the store no longer holds: its database was replaced, or its module unloaded. Call with
// the lock held.
bool cutOff(const Key& key) {
    const std::vector<PK11SlotInfo*>& slots = nsslayer::storeSlots();
    return closedDatabase(key) ||
           std::find(slots.begin(), slots.end(), key.key->pkcs11Slot) == slots.end();
}

Key::~Key() {
    // The database's slot closed with its session objects: the handle may by now name an object
    // of the database opened after it, which must not be destroyed.
    if (key != nullptr && closedDatabase(*this)) {
        key->pkcs11IsTemp = PR_FALSE;
    }
}

struct Provider {
    std::shared_ptr<Key> key;  // null for a CRYPT_VERIFYCONTEXT context
};

struct Hash {
    std::shared_ptr<Key> key;  // the provider's, so that the hash outlives a released context
    EVP_MD_CTX* context = nullptr;
    bool finished = false;  // the value was read or signed: no more data
    bool failed = false;    // finalising failed: there is no value to read or sign
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

// The container name the store gives a key ID: lowercase hex.
std::string containerOf(const std::string& id) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char c : id) {
        text.push_back(digits[c >> 4]);
        text.push_back(digits[c & 0x0F]);
    }
    return text;
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

bool alwaysAuthenticates(SECKEYPrivateKey* key) {
    SECItem value = {siBuffer, nullptr, 0};
    if (PK11_ReadRawAttribute(PK11_TypePrivKey, key, CKA_ALWAYS_AUTHENTICATE, &value) !=
        SECSuccess) {
        return false;  // not stated: the key does not ask
    }
    const bool always = value.len >= 1 && value.data[0] != CK_FALSE;
    SECITEM_FreeItem(&value, PR_FALSE);
    return always;
}

void appendUtf8(char32_t c, std::string* out) {
    if (c < 0x80) {
        out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out->push_back(static_cast<char>(0xC0 | c >> 6));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | c >> 12));
        out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | c >> 18));
        out->push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// The subject of an encoded certificate as the platform renders it, in UTF-8 for the prompt.
std::string subjectOf(const std::vector<BYTE>& encoded) {
    const std::unique_ptr<DecodedCertificate> decoded =
        decodeCertificate(encoded.data(), encoded.size());
    std::u16string name;
    if (decoded == nullptr ||
        !renderX500Name(decoded->info.Subject.pbData, decoded->info.Subject.cbData, &name)) {
        return "?";
    }
    std::string text;
    for (size_t i = 0; i < name.size(); ++i) {
        char32_t c = name[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < name.size() && name[i + 1] >= 0xDC00 &&
            name[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (name[++i] - 0xDC00);
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        appendUtf8(c, &text);
    }
    return text;
}

// The distinct public keys of the certificates; false when one cannot be read.
bool publicKeysOf(const std::vector<std::vector<BYTE>>& certificates,
                  std::vector<PublicKeyPointer>* keys) {
    for (const std::vector<BYTE>& encoded : certificates) {
        const unsigned char* p = encoded.data();
        X509* cert = d2i_X509(nullptr, &p, static_cast<long>(encoded.size()));
        if (cert == nullptr) {
            return false;
        }
        PublicKeyPointer key(X509_get_pubkey(cert));
        X509_free(cert);
        if (key == nullptr) {
            return false;
        }
        const bool seen = std::any_of(keys->begin(), keys->end(), [&](const PublicKeyPointer& k) {
            return EVP_PKEY_eq(k.get(), key.get()) == 1;
        });
        if (!seen) {
            keys->push_back(std::move(key));
        }
    }
    return true;
}

// Where a key is, when it was not found: the token to log in to first (a reference of its own,
// to free with the lock held) and the subject to name in the prompt.
struct LoginNeeded {
    PK11SlotInfo* slot = nullptr;
    std::string subject;
};

// Finds the key with the given ID on the named token, or on any store token when `token` is null.
// Call with the lock held. Null with the last error set when there is none to use; then, when a
// token that is not logged in may hold it, `login` names that token.
std::shared_ptr<Key> findKey(const char* token, std::string& id, LoginNeeded* login) {
    SECItem item = {siBuffer, reinterpret_cast<unsigned char*>(id.data()),
                    static_cast<unsigned int>(id.size())};
    const std::string container = containerOf(id);
    DWORD error = NTE_BAD_KEYSET;
    for (PK11SlotInfo* slot : nsslayer::storeSlots()) {
        if ((token != nullptr && strcmp(PK11_GetTokenName(slot), token) != 0) ||
            !PK11_IsPresent(slot)) {
            continue;
        }
        // Behind a login the key is invisible: this never authenticates.
        PrivateKeyPointer found(PK11_FindKeyByKeyID(slot, &item, nullptr));
        if (found == nullptr) {
            if (login->slot == nullptr && PK11_NeedLogin(slot) && !nsslayer::loggedInNow(slot)) {
                const std::vector<std::vector<BYTE>> certificates =
                    nsslayer::certificatesWithKey(PK11_GetTokenName(slot), container);
                if (!certificates.empty()) {
                    login->subject = subjectOf(certificates.front());
                    login->slot = PK11_ReferenceSlot(slot);
                    error = nsslayer::kNotLoggedIn;
                }
            }
            continue;
        }
        if (alwaysAuthenticates(found.get())) {
            error = kUnsupportedKey;
            continue;
        }
        auto key = std::make_shared<Key>();
        if (!publicKeysOf(nsslayer::certificatesWithKey(PK11_GetTokenName(slot), container),
                          &key->certificateKeys) ||
            key->certificateKeys.empty()) {
            continue;  // no certificate of the store to check its signatures against
        }
        key->onDatabase = slot == nsslayer::databaseSlot();
        key->opening = nsslayer::databaseOpening();
        key->spec = specOf(found.get());
        const int length = PK11_SignatureLen(found.get());
        key->signatureLength = length > 0 ? static_cast<unsigned int>(length) : 0;
        // A session copy on the same token signs without the token reading the key back from its
        // database each time (a fifth of a signature here); a token that will not copy its keys,
        // as a smart card will not, signs with its own.
        if (SECKEYPrivateKey* copy = PK11_CopyTokenPrivKeyToSessionPrivKey(slot, found.get())) {
            found.reset(copy);
        }
        key->key = std::move(found);
        if (login->slot != nullptr) {
            PK11_FreeSlot(login->slot);
            login->slot = nullptr;
        }
        return key;
    }
    SetLastError(error);
    return nullptr;
}

// The key of a container, from the cache while the store is unchanged and the key's token stays
// logged in. Call with the lock held. On failure, `login` may name a token to log in to.
std::shared_ptr<Key> resolveKey(const char* container, const char* token, LoginNeeded* login) {
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
        // A token logged out since, or a handle the token no longer knows: look the key up again
        // (SoftHSM invalidates its handles on logout, even after a new login).
        if (!cached->second->stale.load(std::memory_order_relaxed) && !cutOff(*cached->second) &&
            !needsLogin(cached->second->key->pkcs11Slot)) {
            return cached->second;
        }
        cache.keys.erase(cached);
    }
    std::shared_ptr<Key> key = findKey(token, id, login);
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

// The key of a container, logging in to its token first when it needs that. The lock is taken
// here, and released while the login asks for the PIN.
std::shared_ptr<Key> acquireKey(const char* container, const char* token) {
    for (int round = 0;; ++round) {
        LoginNeeded login;
        {
            std::lock_guard<std::mutex> guard(nsslayer::lock());
            std::shared_ptr<Key> key;
            try {
                key = resolveKey(container, token, &login);
            } catch (const std::bad_alloc&) {
                if (login.slot != nullptr) {
                    PK11_FreeSlot(login.slot);
                }
                throw;
            }
            if (key != nullptr || login.slot == nullptr) {
                return key;
            }
            if (round > 0) {
                // Logged in, and out again before the key could be found: do not ask twice.
                PK11_FreeSlot(login.slot);
                SetLastError(nsslayer::kNotLoggedIn);
                return nullptr;
            }
        }
        DWORD result = ERROR_NOT_ENOUGH_MEMORY;
        try {
            result = nsslayer::logIn(login.slot, login.subject);
        } catch (const std::bad_alloc&) {
        }
        {
            std::lock_guard<std::mutex> guard(nsslayer::lock());
            PK11_FreeSlot(login.slot);
        }
        if (result != 0) {
            SetLastError(result);
            return nullptr;
        }
    }
}

// True when the signature (most significant byte first) verifies under every public key of the
// key's certificates.
bool matchesCertificates(const Key& key, const BYTE* hash, const BYTE* signature,
                         size_t signatureLength) {
    if (key.certificateKeys.empty()) {
        return false;
    }
    for (const PublicKeyPointer& publicKey : key.certificateKeys) {
        EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(publicKey.get(), nullptr);
        const bool ok =
            context != nullptr && EVP_PKEY_verify_init(context) == 1 &&
            EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PADDING) == 1 &&
            EVP_PKEY_CTX_set_signature_md(context, EVP_sha1()) == 1 &&
            EVP_PKEY_verify(context, signature, signatureLength, hash, kSha1Length) == 1;
        EVP_PKEY_CTX_free(context);
        if (!ok) {
            return false;
        }
    }
    return true;
}

// Finalises the hash once; false when that failed, then and on every later call.
bool finish(Hash* hash) {
    if (!hash->finished) {
        unsigned int length = 0;
        hash->finished = true;
        hash->failed =
            EVP_DigestFinal_ex(hash->context, hash->value, &length) != 1 || length != kSha1Length;
        if (hash->failed) {
            memset(hash->value, 0, sizeof hash->value);
        }
    }
    return !hash->failed;
}

}  // namespace

void nsslayer::dropCachedKeys() {
    keyCache().keys.clear();
}

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
            context->key = acquireKey(container, provider);
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
    if (!finish(object)) {
        return failWith(NTE_BAD_HASH_STATE);
    }
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
    if (!finish(object)) {
        return failWith(NTE_BAD_HASH_STATE);
    }
    // PKCS#1 v1.5 over the DigestInfo of SHA-1, through the raw RSA mechanism: NSS's policy on
    // SHA-1 signatures governs its hash-and-sign paths only.
    const auto& prefix = nsslayer::kSha1DigestInfoPrefix;
    BYTE digestInfo[sizeof prefix + kSha1Length];
    memcpy(digestInfo, prefix, sizeof prefix);
    memcpy(digestInfo + sizeof prefix, object->value, kSha1Length);
    SECItem input = {siBuffer, digestInfo, sizeof digestInfo};
    SECItem output = {siBuffer, signature, *signatureLength};
    SECStatus status;
    {
        std::lock_guard<std::mutex> guard(nsslayer::lock());
        // The database was replaced since the key was found: it may be gone with its file.
        status = cutOff(*key) ? SECFailure : PK11_Sign(key->key.get(), &output, &input);
    }
    if (status != SECSuccess) {
        object->key->stale.store(true, std::memory_order_relaxed);
        return failWith(NTE_FAIL);
    }
    if (output.len > *signatureLength ||
        !matchesCertificates(*key, object->value, signature, output.len)) {
        memset(signature, 0, *signatureLength);
        return failWith(kBadSignature);
    }
    // The interface hands signatures back least significant byte first.
    std::reverse(signature, signature + output.len);
    *signatureLength = output.len;
    return TRUE;
}
