// Scoped handles for what the NSS layer holds of NSS, PKCS#11, OpenSSL and SQLite: one owner type
// per kind of object, each released by its library's own call, so that no early return or exception
// can leak one. NSS objects are released with lock() held, as they are used: a handle of one dies
// inside the lock's scope (declared after the guard), or is reset there.
#pragma once

#include <keyhi.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <pk11pub.h>
#include <pkcs11.h>
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

// OpenSSL's SHA-1, fetched once and kept for the process: an implicit fetch on every use costs a
// provider lookup, most of a short digest's cost.
inline const EVP_MD* sha1Algorithm() {
    static const EVP_MD* const md = [] {
        const EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA1", nullptr);
        return fetched != nullptr ? fetched : EVP_sha1();
    }();
    return md;
}

// A session of the layer's own on a slot's token, opened through the module's function list;
// closing it ends any operation left on it. The login state is the token's, shared by every
// session of the process.
class OwnSession {
  public:
    explicit OwnSession(PK11SlotInfo* slot) {
        SECMODModule* module = PK11_GetModule(slot);
        functions_ =
            module == nullptr ? nullptr : static_cast<CK_FUNCTION_LIST*>(module->functionList);
        if (functions_ != nullptr &&
            functions_->C_OpenSession(PK11_GetSlotID(slot), CKF_SERIAL_SESSION, nullptr, nullptr,
                                      &handle_) != CKR_OK) {
            handle_ = CK_INVALID_HANDLE;
        }
    }
    ~OwnSession() {
        if (handle_ != CK_INVALID_HANDLE) {
            functions_->C_CloseSession(handle_);
        }
    }
    OwnSession(const OwnSession&) = delete;
    OwnSession& operator=(const OwnSession&) = delete;

    bool open() const { return handle_ != CK_INVALID_HANDLE; }
    // Null when the module offers none (then the session is never open).
    CK_FUNCTION_LIST* functions() const { return functions_; }
    CK_SESSION_HANDLE handle() const { return handle_; }

  private:
    CK_FUNCTION_LIST* functions_ = nullptr;
    CK_SESSION_HANDLE handle_ = CK_INVALID_HANDLE;
};

// Statements are finalised before their connection closes: declare the connection first.
using SqliteRef = std::unique_ptr<sqlite3, ReleasedBy<sqlite3_close>>;
using SqliteStatementRef = std::unique_ptr<sqlite3_stmt, ReleasedBy<sqlite3_finalize>>;

}  // namespace nsslayer
