// State shared by the parts of the NSS implementation of the cryptography interface.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include <pk11pub.h>

#include "cryptoapi/cryptoapi.h"

namespace nsslayer {

// Serialises every NSS call of the layer: NSS is process-global and its shutdown and some of its
// lookups are not safe under concurrency.
std::mutex& lock();

// The slots that make up the personal store: the user's database and the tokens of the modules
// registered in it. Empty until a store has been opened. Call with lock() held; the slots stay
// referenced by the layer for the life of the process.
const std::vector<PK11SlotInfo*>& storeSlots();

// Changes whenever the store is listed afresh (a database file or a token changed), so that what
// was resolved from the store before can be dropped. Call with lock() held.
unsigned long storeGeneration();

// The slot of the user's database, or null while there is none. Replaced when its files are
// (see databaseOpening). Call with lock() held.
PK11SlotInfo* databaseSlot();

// Changes whenever the database slot is closed or replaced: a key found on it before must not
// sign, and its handles may name another database's objects. Call with lock() held.
unsigned long databaseOpening();

// Drops the provider's cached keys before their slot is closed. Call with lock() held.
void dropCachedKeys();

// The encoded certificates of the current store whose private key is `container` (hex of the
// CKA_ID) on the token named `token`, in store order; empty when none is known. The provider
// names them when it asks for a PIN and checks its signatures against their public keys. Call
// with lock() held; the copies are the caller's.
std::vector<std::vector<BYTE>> certificatesWithKey(const std::string& token,
                                                   const std::string& container);

// The DER prefix of a SHA-1 DigestInfo; the 20-byte hash follows. Signed with CKM_RSA_PKCS, it
// gives the PKCS#1 v1.5 signature that SHA1withRSA verifies.
inline constexpr BYTE kSha1DigestInfoPrefix[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                                                 0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};

// The spec a certificate's key answers on Windows: an RSA key answers AT_KEYEXCHANGE when the
// certificate allows keyEncipherment or states no key usage, else AT_SIGNATURE (as signature-only
// smart-card keys do). Any other key is reported as AT_SIGNATURE here; the provider refuses it
// under both specs. Reads only the decoded certificate: no lock needed.
DWORD keySpecOf(const CERT_INFO* info);

// Objects handed out and not yet given back; a leak shows here (see the soak test).
struct Outstanding {
    std::atomic<long> stores{0};
    std::atomic<long> contexts{0};
    std::atomic<long> providers{0};
    std::atomic<long> hashes{0};
};
Outstanding& outstanding();

}  // namespace nsslayer
