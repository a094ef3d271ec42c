// The private keys the provider signs with: found on the store's tokens by the CKA_ID a container
// names, logged in to first when the token is behind a PIN or password, and kept while the store
// is unchanged and the token stays logged in.
//
// A key signs only when some certificate of the store names it (same token, same CKA_ID), and each
// signature must verify under the public key of every certificate that names it: a CKA_ID pointing
// at the wrong key, or a faulty token, fails the signature instead of returning one that does not
// verify.
//
// Keys marked CKA_ALWAYS_AUTHENTICATE need a login inside each signing operation, which NSS offers
// only through the process-global password callback: they are refused.
//
// Locking: acquireKey and dropKey take lock() themselves; keyGone is called with it held; the
// rest needs no lock. Every NSS object is destroyed with lock() held.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "cryptoapi/cryptoapi.h"
#include "nss/handles.h"

namespace nsslayer {

struct SigningKey {
    PrivateKeyRef key;
    DWORD spec = 0;  // AT_KEYEXCHANGE or AT_SIGNATURE; 0 for a key that is not RSA
    unsigned int signatureLength = 0;
    // The public keys of the certificates that name this key, one of each.
    std::vector<PublicKeyRef> certificateKeys;
    // Set when the token refused to sign with it (a handle gone stale after a logout or a
    // reinsertion): the next acquire looks the key up again.
    std::atomic<bool> refused{false};
    // Found on the database slot at this opening of it (see databaseOpening).
    bool onDatabase = false;
    unsigned long opening = 0;

    SigningKey() = default;
    ~SigningKey();
    SigningKey(const SigningKey&) = delete;
    SigningKey& operator=(const SigningKey&) = delete;
};

// The key of `container` (hex of its CKA_ID) on the token named `token` (any token of the store
// when null), logging in to its token first when it needs that; the lock is released while the
// person types. Null with the last error set when there is none to use (NTE_BAD_KEYSET, or a
// login error of login.h, or SCARD_E_UNSUPPORTED_FEATURE for a key that asks at every use). May
// throw std::bad_alloc.
std::shared_ptr<SigningKey> acquireKey(const char* container, const char* token);

// Drops a reference with lock() held, as NSS objects are destroyed.
void dropKey(std::shared_ptr<SigningKey>& key);

// Whether the store no longer holds the key: its database was replaced, or its module unloaded.
bool keyGone(const SigningKey& key);

// Whether the signature (most significant byte first) of the SHA-1 `hash` verifies under every
// public key of the key's certificates.
bool signatureMatches(const SigningKey& key, const BYTE* hash, const BYTE* signature,
                      size_t signatureLength);

}  // namespace nsslayer
