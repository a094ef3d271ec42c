// Scoped handles for what the NSS layer holds of NSS, OpenSSL and SQLite: one owner type per kind
// of object, each released by its library's own call, so that no early return or exception can
// leak one. NSS objects are released with lock() held, as they are used: a handle of one dies
// inside the lock's scope (declared after the guard), or is reset there.
#pragma once

#include <keyhi.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <pk11pub.h>
#include <secmod.h>
#include <sqlite3.h>

#include <memory>

namespace nsslayer {

template <auto Release>
struct ReleasedBy {
    template <typename T>
    void operator()(T* object) const {
        Release(object);
    }
};

using SlotRef = std::unique_ptr<PK11SlotInfo, ReleasedBy<PK11_FreeSlot>>;
using SlotListRef = std::unique_ptr<PK11SlotList, ReleasedBy<PK11_FreeSlotList>>;
using ModuleRef = std::unique_ptr<SECMODModule, ReleasedBy<SECMOD_DestroyModule>>;
// A list of objects, walked with PK11_GetNextGenericObject; releasing the head releases them all.
using GenericObjectsRef =
    std::unique_ptr<PK11GenericObject, ReleasedBy<PK11_DestroyGenericObjects>>;
using PrivateKeyRef = std::unique_ptr<SECKEYPrivateKey, ReleasedBy<SECKEY_DestroyPrivateKey>>;
// Text NSS allocated with PORT_Alloc.
using NssTextRef = std::unique_ptr<char, ReleasedBy<PORT_Free>>;

// A certificate and its public key, as OpenSSL checks signatures with it; no lock needed.
using X509Ref = std::unique_ptr<X509, ReleasedBy<X509_free>>;
using PublicKeyRef = std::unique_ptr<EVP_PKEY, ReleasedBy<EVP_PKEY_free>>;
using PublicKeyContextRef = std::unique_ptr<EVP_PKEY_CTX, ReleasedBy<EVP_PKEY_CTX_free>>;
using DigestContextRef = std::unique_ptr<EVP_MD_CTX, ReleasedBy<EVP_MD_CTX_free>>;

// Statements are finalised before their connection closes: declare the connection first.
using SqliteRef = std::unique_ptr<sqlite3, ReleasedBy<sqlite3_close>>;
using SqliteStatementRef = std::unique_ptr<sqlite3_stmt, ReleasedBy<sqlite3_finalize>>;

}  // namespace nsslayer
