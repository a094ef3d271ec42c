// Provider operations of the cryptography interface: contexts over the store's private keys (see
// keys.h), SHA-1 hashes and RSA PKCS#1 v1.5 signatures.
//
// Hashing is OpenSSL's (about 2.7 times NSS's SHA-1 here) and needs no lock. Signing stays inside
// NSS, so that a key never leaves its token and a smart card signs the same way; every NSS call is
// made under lock(). A key that demands the PIN at every signature signs through consent.h: its
// PIN is had when the context is acquired (the PIN that logged in to its token for this context,
// or asked then), so that a refusal to give it refuses the context, and tried at the signature.
//
// A key of the database that can no longer be used as it was found (the database opened again
// while another process wrote it) is looked up again and the signature made with it, a few times,
// as a listing looks again: such a signature fails only when the key really went away. A token's
// key that failed is looked up by the next call.
#include <pk11pub.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>

#include "cryptoapi/cryptoapi.h"
#include "cryptoapi/digest_info.h"
#include "nss/consent.h"
#include "nss/keys.h"
#include "nss/outstanding.h"
#include "nss/startup.h"
#include "nss/store.h"

namespace {

using nsslayer::SigningKey;

constexpr DWORD kBadSignature = 0x80090006;  // NTE_BAD_SIGNATURE
// Signing again with a key looked up again: 1, 2, 4 ... 50 ms apart, about 0.3 s in all.
constexpr int kMostSigningRounds = 12;

struct Provider {
    std::shared_ptr<SigningKey> key;  // null for a CRYPT_VERIFYCONTEXT context
    // For a key that demands the PIN at every signature, the PIN had for the first signature's
    // consent when this context was acquired; the first hash created takes it.
    std::atomic<nsslayer::ConsentPin*> consentPin{nullptr};
    ~Provider() { delete consentPin.load(); }
};

struct Hash {
    // The provider's, so that the hash outlives a released context; replaced by the key looked up
    // again when it went stale.
    std::shared_ptr<SigningKey> key;
    std::unique_ptr<nsslayer::ConsentPin> consentPin;
    nsslayer::DigestContextRef context;
    bool finished = false;  // the value was read or signed: no more data
    bool failed = false;    // finalising failed: there is no value to read or sign
    BYTE value[kSha1Length] = {};
};

BOOL failWith(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// Finalises the hash once; false when that failed, then and on every later call.
bool finalizeHash(Hash* hash) {
    if (!hash->finished) {
        unsigned int length = 0;
        hash->finished = true;
        hash->failed = EVP_DigestFinal_ex(hash->context.get(), hash->value, &length) != 1 ||
                       length != kSha1Length;
        if (hash->failed) {
            memset(hash->value, 0, sizeof hash->value);
        }
    }
    return !hash->failed;
}

// Signs the DigestInfo with the hash's key into `signature` of `capacity` bytes; a key that went
// stale is looked up again (logging in again when its token asks) and replaces the hash's. False
// with the last error set when it cannot sign. May throw std::bad_alloc.
bool signDigestInfo(Hash* object, const BYTE* input, size_t inputLength, BYTE* signature,
                    DWORD capacity, unsigned int* length) {
    for (int round = 0;; ++round) {
        const SigningKey& key = *object->key;
        *length = static_cast<unsigned int>(capacity);
        const nsslayer::Signed outcome =
            key.consent ? nsslayer::signWithConsent(key, object->consentPin.get(), input,
                                                    inputLength, signature, length)
                        : nsslayer::signDirectly(key, input, inputLength, signature, length);
        if (outcome == nsslayer::Signed::kYes) {
            return *length <= capacity ? true : failWith(NTE_FAIL);
        }
        if (outcome == nsslayer::Signed::kFailed) {
            return false;
        }
        // A token's key that failed is looked up by the next call, as a card that was pulled or
        // reset needs (its module reconnected, a new login); the database's is looked up now.
        if (!key.onDatabase || round == kMostSigningRounds) {
            return failWith(NTE_FAIL);
        }
        if (round > 0) {
            usleep(static_cast<useconds_t>(std::min(1000 << (round - 1), 50000)));
        }
        // The store as it is now: when the certificate no longer names a key there, the key went
        // (NTE_BAD_KEYSET). A new login's PIN serves this signature's consent.
        nsslayer::refreshStore();
        if (object->consentPin == nullptr) {
            object->consentPin = std::make_unique<nsslayer::ConsentPin>();
        }
        nsslayer::ConsentPin& pin = *object->consentPin;
        std::shared_ptr<SigningKey> again = nsslayer::acquireKey(
            key.container.c_str(), key.anyToken ? nullptr : key.token.c_str(), &pin.secret);
        if (again == nullptr) {
            return false;
        }
        pin.loggedIn = pin.secret.length > 0;
        nsslayer::dropKey(object->key);
        object->key = std::move(again);
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
            auto pin = std::make_unique<nsslayer::ConsentPin>();
            context->key = nsslayer::acquireKey(container, provider, &pin->secret);
            if (context->key == nullptr) {
                return FALSE;
            }
            if (context->key->consent) {
                pin->loggedIn = pin->secret.length > 0;
                const DWORD refused = nsslayer::askConsent(*context->key, pin.get());
                if (refused != 0) {
                    nsslayer::dropKey(context->key);
                    return failWith(refused);
                }
                context->consentPin.store(pin.release());
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
    nsslayer::dropKey(context->key);
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
    std::unique_ptr<Hash> object(new (std::nothrow) Hash);
    if (object == nullptr) {
        return failWith(ERROR_NOT_ENOUGH_MEMORY);
    }
    object->context.reset(EVP_MD_CTX_new());
    if (object->context == nullptr ||
        EVP_DigestInit_ex(object->context.get(), nsslayer::sha1Algorithm(), nullptr) != 1) {
        return failWith(NTE_FAIL);
    }
    object->key = context->key;  // an atomic count: no NSS call
    object->consentPin.reset(context->consentPin.exchange(nullptr));
    *hash = reinterpret_cast<HCRYPTHASH>(object.release());
    nsslayer::outstanding().hashes.fetch_add(1, std::memory_order_relaxed);
    return TRUE;
}

BOOL CryptDestroyHash(HCRYPTHASH hash) {
    auto* object = reinterpret_cast<Hash*>(hash);
    if (object == nullptr) {
        return failWith(ERROR_INVALID_PARAMETER);
    }
    nsslayer::dropKey(object->key);
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
    if (dataLength != 0 && EVP_DigestUpdate(object->context.get(), data, dataLength) != 1) {
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
    if (!finalizeHash(object)) {
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
    const SigningKey* key = object->key.get();
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
    if (!finalizeHash(object)) {
        return failWith(NTE_BAD_HASH_STATE);
    }
    // PKCS#1 v1.5 over the DigestInfo of SHA-1, through the raw RSA mechanism: NSS's policy on
    // SHA-1 signatures governs its hash-and-sign paths only.
    BYTE digestInfo[sizeof kSha1DigestInfoPrefix + kSha1Length];
    memcpy(digestInfo, kSha1DigestInfoPrefix, sizeof kSha1DigestInfoPrefix);
    memcpy(digestInfo + sizeof kSha1DigestInfoPrefix, object->value, kSha1Length);
    unsigned int length = 0;
    try {
        if (!signDigestInfo(object, digestInfo, sizeof digestInfo, signature, *signatureLength,
                            &length)) {
            memset(signature, 0, *signatureLength);
            return FALSE;
        }
    } catch (const std::bad_alloc&) {
        memset(signature, 0, *signatureLength);
        return failWith(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (!nsslayer::signatureMatches(*object->key, object->value, signature, length)) {
        memset(signature, 0, *signatureLength);
        return failWith(kBadSignature);
    }
    // The interface hands signatures back least significant byte first.
    std::reverse(signature, signature + length);
    *signatureLength = length;
    return TRUE;
}
