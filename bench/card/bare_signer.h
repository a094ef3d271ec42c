// The limit of a signature on a card: C_SignInit + C_Sign straight through the card module's own
// PKCS#11 function list, on one session kept open, in the process where the library loaded the
// module (so that it shares the module's state and the library's login).
#pragma once

#include <dlfcn.h>
#include <openssl/evp.h>
#include <pkcs11.h>

#include <cstring>
#include <string>
#include <vector>

// The library's own DigestInfo prefix, so that both sides sign the same bytes.
#include "cryptoapi/digest_info.h"

class BareSigner {
  public:
    BareSigner() = default;
    BareSigner(const BareSigner&) = delete;
    BareSigner& operator=(const BareSigner&) = delete;
    ~BareSigner() { close(); }

    // Finds `module` among the libraries already loaded in the process (never loads it), then the
    // present token that holds `certificate` and the private key with the certificate's CKA_ID,
    // and opens a session of its own there. An empty string on success, else why not (no private
    // key: the token is not logged in).
    std::string open(const std::string& module, const std::vector<unsigned char>& certificate) {
        close();
        handle_ = dlopen(module.c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (handle_ == nullptr) {
            return module + " is not loaded in this process";
        }
        auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle_, "C_GetFunctionList"));
        CK_INFO info;
        if (getList == nullptr || getList(&functions_) != CKR_OK ||
            functions_->C_GetInfo(&info) != CKR_OK) {
            return "the module's function list is not usable (not initialised?)";
        }
        CK_ULONG count = 0;
        if (functions_->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK) {
            return "C_GetSlotList failed";
        }
        std::vector<CK_SLOT_ID> slots(count);
        if (functions_->C_GetSlotList(CK_TRUE, slots.data(), &count) != CKR_OK) {
            return "C_GetSlotList failed";
        }
        for (CK_ULONG i = 0; i < count; ++i) {
            if (functions_->C_OpenSession(slots[i], CKF_SERIAL_SESSION, nullptr, nullptr,
                                          &session_) != CKR_OK) {
                continue;
            }
            std::vector<unsigned char> id;
            if (findCertificateId(certificate, &id) && findPrivateKey(id)) {
                return "";
            }
            functions_->C_CloseSession(session_);
            session_ = CK_INVALID_HANDLE;
        }
        return "no present token holds the certificate and a private key with its CKA_ID";
    }

    // SHA-1 of `data`, the DigestInfo around it, C_SignInit + C_Sign (CKM_RSA_PKCS): what the
    // library's signature costs without the library. False when a call failed.
    bool sign(const unsigned char* data, size_t length, std::vector<unsigned char>* signature) {
        unsigned char digestInfo[sizeof kSha1DigestInfoPrefix + kSha1Length];
        memcpy(digestInfo, kSha1DigestInfoPrefix, sizeof kSha1DigestInfoPrefix);
        unsigned int hashLength = 0;
        EVP_Digest(data, length, digestInfo + sizeof kSha1DigestInfoPrefix, &hashLength, EVP_sha1(),
                   nullptr);
        CK_MECHANISM mechanism = {CKM_RSA_PKCS, nullptr, 0};
        signature->resize(512);
        CK_ULONG signatureLength = signature->size();
        if (functions_->C_SignInit(session_, &mechanism, key_) != CKR_OK ||
            functions_->C_Sign(session_, digestInfo, sizeof digestInfo, signature->data(),
                               &signatureLength) != CKR_OK) {
            return false;
        }
        signature->resize(signatureLength);
        return true;
    }

    void close() {
        if (session_ != CK_INVALID_HANDLE) {
            functions_->C_CloseSession(session_);
            session_ = CK_INVALID_HANDLE;
        }
        if (handle_ != nullptr) {
            dlclose(handle_);  // drops this reference only: the library keeps the module loaded
            handle_ = nullptr;
        }
    }

  private:
    // The handle of the first object of the session matching `match`, or CK_INVALID_HANDLE.
    CK_OBJECT_HANDLE findOne(CK_ATTRIBUTE* match, CK_ULONG count) {
        CK_OBJECT_HANDLE found = CK_INVALID_HANDLE;
        CK_ULONG n = 0;
        if (functions_->C_FindObjectsInit(session_, match, count) != CKR_OK) {
            return CK_INVALID_HANDLE;
        }
        if (functions_->C_FindObjects(session_, &found, 1, &n) != CKR_OK || n == 0) {
            found = CK_INVALID_HANDLE;
        }
        functions_->C_FindObjectsFinal(session_);
        return found;
    }

    bool findCertificateId(const std::vector<unsigned char>& certificate,
                           std::vector<unsigned char>* id) {
        CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
        CK_ATTRIBUTE match[] = {
            {CKA_CLASS, &certificateClass, sizeof certificateClass},
            {CKA_VALUE, const_cast<unsigned char*>(certificate.data()), certificate.size()}};
        const CK_OBJECT_HANDLE object = findOne(match, 2);
        CK_ATTRIBUTE value = {CKA_ID, nullptr, 0};
        if (object == CK_INVALID_HANDLE ||
            functions_->C_GetAttributeValue(session_, object, &value, 1) != CKR_OK) {
            return false;
        }
        id->resize(value.ulValueLen);
        value.pValue = id->data();
        return functions_->C_GetAttributeValue(session_, object, &value, 1) == CKR_OK;
    }

    bool findPrivateKey(std::vector<unsigned char>& id) {
        CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
        CK_ATTRIBUTE match[] = {{CKA_CLASS, &keyClass, sizeof keyClass},
                                {CKA_ID, id.data(), id.size()}};
        key_ = findOne(match, 2);
        return key_ != CK_INVALID_HANDLE;
    }

    void* handle_ = nullptr;
    CK_FUNCTION_LIST_PTR functions_ = nullptr;
    CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
    CK_OBJECT_HANDLE key_ = CK_INVALID_HANDLE;
};
