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
    std::string container;  // when it has a key: the key's CKA_ID in lowercase hex
    std::string token;      // the name of the token it is on
    DWORD keySpec = 0;      // keySpecOf its certificate
};

// Appends the certificates on the slot's token to `entries`, in the token's order, leaving out
// those whose encoding the platform would not hold either. False, with nothing appended, when the
// token could not be read. May throw std::bad_alloc.
bool listSlot(PK11SlotInfo* slot, std::vector<Entry>* entries);

}  // namespace nsslayer
