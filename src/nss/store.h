// The current user's personal store over the user's NSS database, read-only: the CryptoAPI store
// functions (declared in cryptoapi/cryptoapi.h) and what the provider asks of the store.
//
// Opening a store is the hot path of every service, so NSS stays started for the process (see
// startup.h) and a snapshot of the certificates (their DER, decoded fields and key information)
// is the store handle. A snapshot is shared while the files and tokens are unchanged (see
// freshness.h); any change made by another process (certutil, pk12util, a card inserted) makes
// the next open list afresh. A store handle and the contexts enumerated from it keep their
// snapshot alive, so a certificate handed out stays readable after its store is closed.
//
// Locking: the CryptoAPI functions and refreshStore take lock() themselves; the other functions
// below are called with it held.
#pragma once

#include <string>
#include <vector>

#include "cryptoapi/cryptoapi.h"

namespace nsslayer {

// Changes whenever the store is listed afresh, so that what was resolved from it can be dropped.
unsigned long storeGeneration();

// Brings the current snapshot up to date with the disk, as opening a store does (and, like it,
// looking again while another process writes). False when the store cannot be read now. Call
// WITHOUT lock() held. May throw std::bad_alloc.
bool refreshStore();

// Whether there is a current snapshot for certificatesWithKey to answer from: false from the moment
// the database was cut off (replaced, removed, unreadable) until the store is read again.
bool storeListed();

// A certificate of the current snapshot whose private key is a given one.
struct KeyCertificate {
    std::vector<BYTE> encoded;
    DWORD keySpec = 0;
};

// The certificates of the current snapshot whose key is `container` (see containerName in
// listing.h) on the token named `token`, in store order; empty when none is known. The copies are
// the caller's.
std::vector<KeyCertificate> certificatesWithKey(const std::string& token,
                                                const std::string& container);

}  // namespace nsslayer
