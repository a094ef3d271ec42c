// Reading a token's certificates and which of them have a key, by PKCS#11 objects and without
// ever logging in: PK11_ListCertsInSlot, PK11_KeyForCertExists and their kin authenticate to the
// token as soon as any password callback exists in the process. A certificate has a key, by NSS's
// own rule, when a visible private key has its CKA_ID or, on a token not logged in (its private
// keys hidden), a public key has it.
//
// Slots of NSS's own database are read through a session of the layer's own, one
// C_GetAttributeValue per object (NSS asks every value's size first, and each is an SQL query
// there); other modules through NSS's generic objects, which any module answers correctly.
//
// Locking: call with lock() held.
#pragma once

#include <pk11pub.h>

#include <memory>
#include <string>
#include <vector>

#include "cryptoapi/cert_decode.h"
#include "cryptoapi/cryptoapi.h"

namespace nsslayer {

// A certificate of the store, as listed.
struct Entry {
    std::unique_ptr<DecodedCertificate> certificate;
    bool hasKey = false;
    std::string container;  // when it has a key: containerName of its key and certificate
    std::string token;      // storeTokenName of the token it is on
    DWORD keySpec = 0;      // keySpecOf its certificate
};

// The name the store gives a token, which the provider is given to find the key on: its label,
// but one name for the user's database whichever slot serves it (NSS's own, or the layer's after
// the database was opened again), so that a key named before a reopening is still found after it.
std::string storeTokenName(PK11SlotInfo* slot);

// The name of a certificate's key container: its key's CKA_ID in lowercase hex, a dot, and the
// certificate's key identifier (the SHA-1 of its subjectPublicKey, as RFC 5280 computes one), in
// lowercase hex. The provider is given only this name and the token's, so the name carries which
// public key the key's signatures must verify under: a certificate whose CKA_ID names another
// certificate's key names another container, and only its own signatures fail.
std::string containerName(const std::string& keyId, const CERT_INFO& certificate);

// The CKA_ID a container name holds; false when the name is not one of containerName's.
bool keyIdOfContainer(const std::string& container, std::string* keyId);

// Appends the certificates on the slot's token to `entries`, in the token's order, leaving out
// those whose encoding the platform would not hold either. False, with nothing appended, when the
// token could not be read. May throw std::bad_alloc.
bool listSlot(PK11SlotInfo* slot, std::vector<Entry>* entries);

}  // namespace nsslayer
