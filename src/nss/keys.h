// The private keys the provider signs with: found on the store's tokens by the container a
// certificate names (containerName in listing.h: the key's CKA_ID and the certificate's key
// identifier), logged in to first when the token is behind a PIN or password, and kept while the
// store is unchanged and the token stays logged in.
//
// A key signs only for a certificate of the store that names its container, and each signature
// must verify under that certificate's public key as our own decoder reads it (cert_decode.h): a
// CKA_ID pointing at the wrong key, or a faulty token, fails that certificate's signatures instead
// of returning one that does not verify, and no other certificate of the key is affected.
//
// Keys marked CKA_ALWAYS_AUTHENTICATE need a login inside each signing operation: they sign
// through consent.h, never through PK11_Sign. Such a key on a module that NSS drives without
// thread safety is refused: NSS serialises its own calls to that module by a lock of its own that
// nobody else can take, and the consent's calls cannot go through NSS.
//
// Locking: acquireKey, dropKey and signDirectly take lock() themselves (call them without it);
// keyGone is called with it held; the rest needs no lock. Every NSS object is destroyed with
// lock() held.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "cryptoapi/cryptoapi.h"
#include "nss/handles.h"
#include "nss/pinentry.h"

namespace nsslayer {

// What the last error is when a key demands the PIN at every signature on a module NSS drives
// without thread safety.
constexpr DWORD kUnsupportedKey = 0x80100022;  // SCARD_E_UNSUPPORTED_FEATURE

struct SigningKey {
    PrivateKeyRef key;
    DWORD spec = 0;  // AT_KEYEXCHANGE or AT_SIGNATURE; 0 for a key that is not RSA
    unsigned int signatureLength = 0;
    // The RSA public key of the container's certificate; null when it has none to check with.
    PublicKeyRef certificateKey;
    // CKA_ALWAYS_AUTHENTICATE: every signature needs its own login (consent.h).
    bool consent = false;
    // What it was acquired by, to look it up again; `anyToken` when no token was named.
    std::string container, token;
    bool anyToken = false;
    // For a prompt: the certificate's subject as the platform renders it. For a consent key, the
    // token's label and serial number, which name the token in what the process learns of it.
    std::string subject;
    std::string tokenIdentity;
    // Set when the token refused to sign with it (a handle gone stale after a logout or a
    // reinsertion): the next acquire looks the key up again.
    mutable std::atomic<bool> refused{false};
    // Found on the database slot at this opening of it (see databaseOpening).
    bool onDatabase = false;
    unsigned long opening = 0;

    SigningKey() = default;
    ~SigningKey();
    SigningKey(const SigningKey&) = delete;
    SigningKey& operator=(const SigningKey&) = delete;
};

// The key of `container` (see containerName) on the token named `token` (any token of the store
// when null), logging in to its token first when it needs that; the lock is released while the
// person types. A database key listed with its certificate but not found at this moment (another
// process writing the database) is looked for again, as the listing does, for about 0.3 s. Null
// with the last error set when there is none to use (NTE_BAD_KEYSET, a login error of login.h, or
// kUnsupportedKey). When `typed` is not null it is left empty, except when this call logged in with
// a PIN typed for it and the key demands the PIN at every signature: that PIN is left there for
// the consent of the signature it was typed for. May throw std::bad_alloc.
std::shared_ptr<SigningKey> acquireKey(const char* container, const char* token,
                                       pinentry::Secret* typed);

// Drops a reference with lock() held, as NSS objects are destroyed.
void dropKey(std::shared_ptr<SigningKey>& key);

// Whether the store no longer holds the key as it was found: its database was closed or
// reopened, or its module unloaded.
bool keyGone(const SigningKey& key);

// How a signature with a key ended.
enum class Signed {
    kYes,
    // The key cannot be used as it was found (its database closed or reopened, its module
    // unloaded, a handle its token no longer knows): look it up again.
    kStale,
    kFailed,  // the last error says why
};

// Signs the DigestInfo `input` with a key that does not demand the PIN at every signature,
// through PK11_Sign, into `signature` of `*signatureLength` bytes (set to the length written).
Signed signDirectly(const SigningKey& key, const BYTE* input, size_t inputLength, BYTE* signature,
                    unsigned int* signatureLength);

// Whether the signature (most significant byte first) of the SHA-1 `hash` verifies under the
// public key of the key's certificate.
bool signatureMatches(const SigningKey& key, const BYTE* hash, const BYTE* signature,
                      size_t signatureLength);

}  // namespace nsslayer
