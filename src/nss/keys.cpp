#include "nss/keys.h"

#include <openssl/rsa.h>
#include <pkcs11.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "cryptoapi/cert_decode.h"
#include "cryptoapi/digest_info.h"
#include "cryptoapi/text.h"
#include "cryptoapi/x500_name.h"
#include "nss/login.h"
#include "nss/startup.h"
#include "nss/store.h"

namespace nsslayer {
namespace {

constexpr DWORD kUnsupportedKey = 0x80100022;  // SCARD_E_UNSUPPORTED_FEATURE

// A key of a database since closed or replaced.
bool fromClosedDatabase(const SigningKey& key) {
    return key.onDatabase && key.opening != databaseOpening();
}

// Keys resolved while the store's snapshot is unchanged, by token and key ID.
struct KeyCache {
    unsigned long generation = 0;
    std::map<std::string, std::shared_ptr<SigningKey>> keys;
};

KeyCache& keyCache() {
    static KeyCache* cache = new KeyCache;  // never destroyed: NSS objects outlive static exit
    return *cache;
}

// Registered with the store: cached keys go while their session copies can still be destroyed on
// their slot. A key still held by a signature in flight is cut off by keyGone instead.
void dropCachedKeys() {
    keyCache().keys.clear();
}

bool needsLogin(PK11SlotInfo* slot) {
    return PK11_NeedLogin(slot) && !PK11_IsLoggedIn(slot, nullptr);
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

// The subject of an encoded certificate as the platform renders it, in UTF-8 for the prompt.
std::string subjectOf(const std::vector<BYTE>& encoded) {
    const std::unique_ptr<DecodedCertificate> decoded =
        decodeCertificate(encoded.data(), encoded.size());
    std::u16string name;
    if (decoded == nullptr ||
        !renderX500Name(decoded->info.Subject.pbData, decoded->info.Subject.cbData, &name)) {
        return "?";
    }
    return utf16ToUtf8(name);
}

// The distinct public keys of the certificates; false when one cannot be read.
bool publicKeysOf(const std::vector<KeyCertificate>& certificates,
                  std::vector<PublicKeyRef>* keys) {
    for (const KeyCertificate& certificate : certificates) {
        const unsigned char* p = certificate.encoded.data();
        const X509Ref cert(d2i_X509(nullptr, &p, static_cast<long>(certificate.encoded.size())));
        PublicKeyRef key(cert == nullptr ? nullptr : X509_get_pubkey(cert.get()));
        if (key == nullptr) {
            return false;
        }
        const bool seen = std::any_of(keys->begin(), keys->end(), [&](const PublicKeyRef& k) {
            return EVP_PKEY_eq(k.get(), key.get()) == 1;
        });
        if (!seen) {
            keys->push_back(std::move(key));
        }
    }
    return true;
}

// Where a key is, when it was not found: the token to log in to first and the subject to name in
// the prompt.
struct LoginNeeded {
    SlotRef slot;
    std::string subject;
};

// Finds the key with the given ID on the named token, or on any store token when `token` is null.
// Null with the last error set when there is none to use; then, when a token that is not logged in
// may hold it, `login` names that token.
std::shared_ptr<SigningKey> findKey(const char* token, std::string& id, LoginNeeded* login) {
    SECItem item = {siBuffer, reinterpret_cast<unsigned char*>(id.data()),
                    static_cast<unsigned int>(id.size())};
    std::string container;
    appendHex(reinterpret_cast<const uint8_t*>(id.data()), id.size(), HexDigits::lower, &container);
    DWORD error = NTE_BAD_KEYSET;
    for (const SlotRef& ref : storeSlots()) {
        PK11SlotInfo* slot = ref.get();
        if ((token != nullptr && strcmp(PK11_GetTokenName(slot), token) != 0) ||
            !PK11_IsPresent(slot)) {
            continue;
        }
        const std::vector<KeyCertificate> certificates =
            certificatesWithKey(PK11_GetTokenName(slot), container);
        // Behind a login the key is invisible: this never authenticates.
        PrivateKeyRef found(PK11_FindKeyByKeyID(slot, &item, nullptr));
        if (found == nullptr && serviceLost(PORT_GetError())) {
            reconnectModule(slot);  // logged out now: the key is looked up after a login
            found.reset(PK11_FindKeyByKeyID(slot, &item, nullptr));
        }
        if (found == nullptr) {
            if (login->slot == nullptr && !certificates.empty() && PK11_NeedLogin(slot) &&
                !loggedInNow(slot)) {
                login->subject = subjectOf(certificates.front().encoded);
                login->slot.reset(PK11_ReferenceSlot(slot));
                error = kNotLoggedIn;
            }
            continue;
        }
        if (alwaysAuthenticates(found.get())) {
            error = kUnsupportedKey;
            continue;
        }
        auto key = std::make_shared<SigningKey>();
        if (certificates.empty() || !publicKeysOf(certificates, &key->certificateKeys)) {
            continue;  // no certificate of the store to check its signatures against
        }
        key->onDatabase = slot == databaseSlot();
        key->opening = databaseOpening();
        key->spec =
            SECKEY_GetPrivateKeyType(found.get()) == rsaKey ? certificates.front().keySpec : 0;
        const int length = PK11_SignatureLen(found.get());
        key->signatureLength = length > 0 ? static_cast<unsigned int>(length) : 0;
        // A session copy on the same token signs without the token reading the key back from its
        // database each time (a fifth of a signature here); a token that will not copy its keys,
        // as a smart card will not, signs with its own.
        if (SECKEYPrivateKey* copy = PK11_CopyTokenPrivKeyToSessionPrivKey(slot, found.get())) {
            found.reset(copy);
        }
        key->key = std::move(found);
        login->slot.reset();
        return key;
    }
    SetLastError(error);
    return nullptr;
}

// The key of a container, from the cache while the store is unchanged and the key's token stays
// logged in. Call with the lock held. On failure, `login` may name a token to log in to.
std::shared_ptr<SigningKey> resolveKey(const char* container, const char* token,
                                       LoginNeeded* login) {
    std::string id;
    if (container[0] == 0 || !decodeHex(container, &id)) {
        SetLastError(NTE_BAD_KEYSET);
        return nullptr;
    }
    beforeSlotsGo(dropCachedKeys);
    KeyCache& cache = keyCache();
    if (cache.generation != storeGeneration()) {
        cache.keys.clear();
        cache.generation = storeGeneration();
    }
    std::string name = token == nullptr ? std::string("*") : std::string("=") + token;
    name.push_back('\0');
    name += id;
    const auto cached = cache.keys.find(name);
    if (cached != cache.keys.end()) {
        // A token logged out since, or a handle the token no longer knows: look the key up again
        // (SoftHSM invalidates its handles on logout, even after a new login).
        const SigningKey& key = *cached->second;
        if (!key.refused.load(std::memory_order_relaxed) && !keyGone(key) &&
            !needsLogin(key.key->pkcs11Slot)) {
            return cached->second;
        }
        cache.keys.erase(cached);
    }
    std::shared_ptr<SigningKey> key = findKey(token, id, login);
    if (key != nullptr) {
        cache.keys.emplace(std::move(name), key);
    }
    return key;
}

}  // namespace

SigningKey::~SigningKey() {
    // The database's slot closed with its session objects: the handle may by now name an object
    // of the database opened after it, which must not be destroyed.
    if (key != nullptr && fromClosedDatabase(*this)) {
        key->pkcs11IsTemp = PR_FALSE;
    }
}

bool keyGone(const SigningKey& key) {
    const std::vector<SlotRef>& slots = storeSlots();
    return fromClosedDatabase(key) ||
           std::none_of(slots.begin(), slots.end(),
                        [&](const SlotRef& slot) { return slot.get() == key.key->pkcs11Slot; });
}

void dropKey(std::shared_ptr<SigningKey>& key) {
    if (key != nullptr) {
        std::lock_guard<std::mutex> guard(lock());
        key.reset();
    }
}

std::shared_ptr<SigningKey> acquireKey(const char* container, const char* token) {
    for (int round = 0;; ++round) {
        SlotRef slot;
        std::string subject;
        {
            std::lock_guard<std::mutex> guard(lock());
            LoginNeeded login;  // released inside the lock's scope, whatever happens
            std::shared_ptr<SigningKey> key = resolveKey(container, token, &login);
            if (key != nullptr || login.slot == nullptr) {
                return key;
            }
            if (round > 0) {
                // Logged in, and out again before the key could be found: do not ask twice.
                SetLastError(kNotLoggedIn);
                return nullptr;
            }
            slot = std::move(login.slot);
            subject = std::move(login.subject);
        }
        // The reference is our own, as logIn wants. Should logIn throw, it is freed without the
        // lock: PK11_FreeSlot is safe anywhere.
        const DWORD result = logIn(slot.get(), subject);
        {
            std::lock_guard<std::mutex> guard(lock());
            slot.reset();
        }
        if (result != 0) {
            SetLastError(result);
            return nullptr;
        }
    }
}

bool signatureMatches(const SigningKey& key, const BYTE* hash, const BYTE* signature,
                      size_t signatureLength) {
    if (key.certificateKeys.empty()) {
        return false;
    }
    for (const PublicKeyRef& publicKey : key.certificateKeys) {
        const PublicKeyContextRef context(EVP_PKEY_CTX_new(publicKey.get(), nullptr));
        const bool ok =
            context != nullptr && EVP_PKEY_verify_init(context.get()) == 1 &&
            EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) == 1 &&
            EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha1()) == 1 &&
            EVP_PKEY_verify(context.get(), signature, signatureLength, hash, kSha1Length) == 1;
        if (!ok) {
            return false;
        }
    }
    return true;
}

}  // namespace nsslayer
