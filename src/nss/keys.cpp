#include "nss/keys.h"

#include <openssl/rsa.h>
#include <pkcs11.h>
#include <secmod.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "cryptoapi/cert_decode.h"
#include "cryptoapi/digest_info.h"
#include "cryptoapi/text.h"
#include "cryptoapi/x500_name.h"
#include "nss/listing.h"
#include "nss/login.h"
#include "nss/startup.h"
#include "nss/store.h"

namespace nsslayer {
namespace {

constexpr char kRsaOid[] = "1.2.840.113549.1.1.1";
// Looks for a listed key that is not there at this moment (another process writing the
// database) about as long as a listing does: 1, 2, 4 ... 50 ms, about 0.3 s in all.
constexpr int kMostLooks = 12;

void pause(int look) {
    usleep(static_cast<useconds_t>(std::min(1000 << look, 50000)));
}

// A key of a database since closed or replaced.
bool fromClosedDatabase(const SigningKey& key) {
    return key.onDatabase && key.opening != databaseOpening();
}

// Keys resolved while the store's snapshot is unchanged, by token and container.
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

// The subject of a certificate as the platform renders it, in UTF-8 for the prompt.
std::string subjectOf(const CERT_INFO& info) {
    std::u16string name;
    if (!renderX500Name(info.Subject.pbData, info.Subject.cbData, &name)) {
        return "?";
    }
    return utf16ToUtf8(name);
}

// The RSA public key of a certificate, from our decoder's SubjectPublicKeyInfo (OpenSSL's X.509
// parser refuses some certificates the platform lists, a version padded with zeros among them).
PublicKeyRef rsaKeyOf(const CERT_INFO& info) {
    const CRYPT_BIT_STRING_BLOB& bits = info.SubjectPublicKeyInfo.PublicKey;
    if (strcmp(info.SubjectPublicKeyInfo.Algorithm.pszObjId, kRsaOid) != 0 ||
        bits.cUnusedBits != 0) {
        return nullptr;
    }
    const unsigned char* p = bits.pbData;
    return PublicKeyRef(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, static_cast<long>(bits.cbData)));
}

// Where a key is, when it was not found: the token to log in to first and the subject to name in
// the prompt.
struct LoginNeeded {
    SlotRef slot;
    std::string subject;
};

// Finds the key of a container on the named token, or on any store token when `token` is null.
// Null with the last error set when there is none to use; then, when a token that is not logged in
// may hold it, `login` names that token, and `missing` tells whether a token that shows its keys
// lists the container's certificate with a key that is not there at this moment.
std::shared_ptr<SigningKey> findKey(const char* token, const std::string& container,
                                    std::string& id, LoginNeeded* login, bool* missing) {
    SECItem item = {siBuffer, reinterpret_cast<unsigned char*>(id.data()),
                    static_cast<unsigned int>(id.size())};
    DWORD error = NTE_BAD_KEYSET;
    for (const SlotRef& ref : storeSlots()) {
        PK11SlotInfo* slot = ref.get();
        const std::string name = storeTokenName(slot);
        if ((token != nullptr && name != token) || !PK11_IsPresent(slot)) {
            continue;
        }
        const std::vector<KeyCertificate> certificates = certificatesWithKey(name, container);
        if (certificates.empty()) {
            continue;  // no certificate of the store names it here
        }
        const std::unique_ptr<DecodedCertificate> decoded = decodeCertificate(
            certificates.front().encoded.data(), certificates.front().encoded.size());
        if (decoded == nullptr) {
            continue;
        }
        // Behind a login the key is invisible: this never authenticates.
        PrivateKeyRef found(PK11_FindKeyByKeyID(slot, &item, nullptr));
        if (found == nullptr && serviceLost(PORT_GetError())) {
            reconnectModule(slot);  // logged out now: the key is looked up after a login
            found.reset(PK11_FindKeyByKeyID(slot, &item, nullptr));
        }
        if (found == nullptr) {
            if (slot == databaseSlot() && (!PK11_NeedLogin(slot) || loggedInNow(slot))) {
                *missing = true;  // another process writing it: see acquireKey
            } else if (PK11_NeedLogin(slot) && !loggedInNow(slot) && login->slot == nullptr) {
                login->subject = subjectOf(decoded->info);
                login->slot.reset(PK11_ReferenceSlot(slot));
                error = kNotLoggedIn;
            }
            continue;
        }
        const bool consent = alwaysAuthenticates(found.get());
        SECMODModule* module = PK11_GetModule(slot);
        if (consent &&
            (module == nullptr || module->functionList == nullptr || !module->isThreadSafe)) {
            error = kUnsupportedKey;
            continue;
        }
        auto key = std::make_shared<SigningKey>();
        key->consent = consent;
        if (consent) {
            TokenState state;
            if (!readTokenState(slot, &state)) {
                continue;
            }
            key->tokenIdentity = state.label + '\0' + state.serial;
        }
        key->certificateKey = rsaKeyOf(decoded->info);
        key->subject = subjectOf(decoded->info);
        key->onDatabase = slot == databaseSlot();
        key->opening = databaseOpening();
        key->spec =
            SECKEY_GetPrivateKeyType(found.get()) == rsaKey ? certificates.front().keySpec : 0;
        const int length = PK11_SignatureLen(found.get());
        key->signatureLength = length > 0 ? static_cast<unsigned int>(length) : 0;
        // A session copy on the same token signs without the token reading the key back from its
        // database each time (a fifth of a signature here); a token that will not copy its keys,
        // as a smart card will not, signs with its own. The copy keeps CKA_ALWAYS_AUTHENTICATE.
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
// logged in. Call with the lock held. On failure, `login` and `missing` are as findKey leaves them.
std::shared_ptr<SigningKey> resolveKey(const char* container, const char* token, LoginNeeded* login,
                                       bool* missing) {
    const std::string name = container;
    std::string id;
    if (!keyIdOfContainer(name, &id) || id.empty()) {
        SetLastError(NTE_BAD_KEYSET);
        return nullptr;
    }
    beforeSlotsGo(dropCachedKeys);
    KeyCache& cache = keyCache();
    if (cache.generation != storeGeneration()) {
        cache.keys.clear();
        cache.generation = storeGeneration();
    }
    std::string cached = token == nullptr ? std::string("*") : std::string("=") + token;
    cached.push_back('\0');
    cached += name;
    const auto hit = cache.keys.find(cached);
    if (hit != cache.keys.end()) {
        // A token logged out since, or a handle the token no longer knows: look the key up again
        // (SoftHSM invalidates its handles on logout, even after a new login).
        const SigningKey& key = *hit->second;
        if (!key.refused.load(std::memory_order_relaxed) && !keyGone(key) &&
            !needsLogin(key.key->pkcs11Slot)) {
            return hit->second;
        }
        cache.keys.erase(hit);
    }
    std::shared_ptr<SigningKey> key = findKey(token, name, id, login, missing);
    if (key != nullptr) {
        key->container = name;
        key->anyToken = token == nullptr;
        key->token = token == nullptr ? std::string() : std::string(token);
        cache.keys.emplace(std::move(cached), key);
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

std::shared_ptr<SigningKey> acquireKey(const char* container, const char* token,
                                       pinentry::Secret* typed) {
    pinentry::Secret scratch;
    pinentry::Secret* entry = typed != nullptr ? typed : &scratch;
    entry->wipe();
    bool asked = false;
    for (int look = 0;;) {
        SlotRef slot;
        std::string subject;
        {
            std::lock_guard<std::mutex> guard(lock());
            LoginNeeded login;  // released inside the lock's scope, whatever happens
            bool missing = false;
            std::shared_ptr<SigningKey> key = resolveKey(container, token, &login, &missing);
            if (key != nullptr) {
                if (!key->consent) {
                    entry->wipe();
                }
                return key;
            }
            entry->wipe();
            if (login.slot == nullptr) {
                // Without a listing (its database cut off meanwhile) nothing says the key went.
                missing = missing || !storeListed();
                if (!missing || look == kMostLooks) {
                    return nullptr;
                }
            } else if (asked) {
                // Logged in, and out again before the key could be found: do not ask twice.
                SetLastError(kNotLoggedIn);
                return nullptr;
            }
            slot = std::move(login.slot);
            subject = std::move(login.subject);
        }
        if (slot == nullptr) {
            // Listed with its key, which is not there at this moment: another process is writing
            // the database. Look again at the store as it is then.
            pause(look++);
            refreshStore();
            continue;
        }
        // The reference is our own, as logIn wants. Should logIn throw, it is freed without the
        // lock: PK11_FreeSlot is safe anywhere.
        asked = true;
        const DWORD result = logIn(slot.get(), subject, entry);
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

Signed signDirectly(const SigningKey& key, const BYTE* input, size_t inputLength, BYTE* signature,
                    unsigned int* signatureLength) {
    SECItem in = {siBuffer, const_cast<BYTE*>(input), static_cast<unsigned int>(inputLength)};
    SECItem out = {siBuffer, signature, *signatureLength};
    std::lock_guard<std::mutex> guard(lock());
    // The database was closed or reopened since the key was found: it may be gone with its file.
    if (keyGone(key)) {
        return Signed::kStale;
    }
    if (PK11_Sign(key.key.get(), &out, &in) != SECSuccess) {
        if (serviceLost(PORT_GetError())) {
            reconnectModule(key.key->pkcs11Slot);  // logged out now: looked up after a login
        }
        key.refused.store(true, std::memory_order_relaxed);
        return Signed::kStale;
    }
    *signatureLength = out.len;
    return Signed::kYes;
}

bool signatureMatches(const SigningKey& key, const BYTE* hash, const BYTE* signature,
                      size_t signatureLength) {
    if (key.certificateKey == nullptr) {
        return false;
    }
    const PublicKeyContextRef context(EVP_PKEY_CTX_new(key.certificateKey.get(), nullptr));
    return context != nullptr && EVP_PKEY_verify_init(context.get()) == 1 &&
           EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) == 1 &&
           EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha1()) == 1 &&
           EVP_PKEY_verify(context.get(), signature, signatureLength, hash, kSha1Length) == 1;
}

}  // namespace nsslayer
