#include "nss/listing.h"

#include <openssl/evp.h>
#include <pkcs11.h>
#include <secerr.h>

#include <algorithm>

#include "cryptoapi/key_spec.h"
#include "cryptoapi/text.h"
#include "nss/handles.h"
#include "nss/login.h"
#include "nss/startup.h"

namespace nsslayer {
namespace {

// A certificate object as read from a token: its DER and its CKA_ID (empty when it states none).
struct CertificateObject {
    std::string value, id;
};

// What listing a slot needs from it.
struct SlotObjects {
    std::vector<CertificateObject> certificates;
    std::vector<std::string> keyIds;  // of the keys that make a certificate keyed
};

// A token behind a PIN or password that nobody in the process has logged in to yet.
bool loggedOut(PK11SlotInfo* slot) {
    return PK11_NeedLogin(slot) && !loggedInNow(slot);
}

// Attribute values that PK11_ReadRawAttributes allocated (no arena): each is PORT_Free'd.
template <size_t N>
struct Attributes {
    CK_ATTRIBUTE values[N];
    Attributes(const Attributes&) = delete;
    Attributes& operator=(const Attributes&) = delete;
    explicit Attributes(const CK_ATTRIBUTE_TYPE (&types)[N]) {
        for (size_t i = 0; i < N; ++i) {
            values[i] = CK_ATTRIBUTE{types[i], nullptr, 0};
        }
    }
    ~Attributes() {
        for (CK_ATTRIBUTE& value : values) {
            PORT_Free(value.pValue);
        }
    }
    // Reads them all in one pair of C_GetAttributeValue calls on the slot's own session.
    bool read(PK11GenericObject* object) {
        return PK11_ReadRawAttributes(nullptr, PK11_TypeGeneric, object, values, N) == SECSuccess;
    }
    std::string bytes(size_t i) const {
        return std::string(static_cast<const char*>(values[i].pValue), values[i].ulValueLen);
    }
};

// Every object of one class on the slot, or none. False when the token could not be searched
// (PK11_FindGenericObjects answers null for both).
bool findObjects(PK11SlotInfo* slot, CK_OBJECT_CLASS objectClass, GenericObjectsRef* objects) {
    PORT_SetError(0);
    objects->reset(PK11_FindGenericObjects(slot, objectClass));
    return *objects != nullptr || PORT_GetError() == 0;
}

bool nssIdsOf(PK11SlotInfo* slot, CK_OBJECT_CLASS objectClass, std::vector<std::string>* ids) {
    GenericObjectsRef objects;
    if (!findObjects(slot, objectClass, &objects)) {
        return false;
    }
    for (PK11GenericObject* o = objects.get(); o != nullptr; o = PK11_GetNextGenericObject(o)) {
        Attributes<1> id({CKA_ID});
        if (id.read(o) && id.values[0].ulValueLen > 0) {
            ids->push_back(id.bytes(0));
        }
    }
    return true;
}

// Reads a slot through NSS's generic objects, which ask each value's size before the value:
// what any module answers correctly, a smart card's included.
bool readByNss(PK11SlotInfo* slot, SlotObjects* objects) {
    GenericObjectsRef certificates;
    if (!findObjects(slot, CKO_CERTIFICATE, &certificates) ||
        !nssIdsOf(slot, CKO_PRIVATE_KEY, &objects->keyIds) ||
        (loggedOut(slot) && !nssIdsOf(slot, CKO_PUBLIC_KEY, &objects->keyIds))) {
        return false;
    }
    for (PK11GenericObject* o = certificates.get(); o != nullptr;
         o = PK11_GetNextGenericObject(o)) {
        Attributes<2> both({CKA_VALUE, CKA_ID});
        Attributes<1> alone({CKA_VALUE});  // a certificate may state no CKA_ID: no key then
        if (both.read(o)) {
            objects->certificates.push_back({both.bytes(0), both.bytes(1)});
        } else if (alone.read(o)) {
            objects->certificates.push_back({alone.bytes(0), std::string()});
        }
    }
    return true;
}

// A read-only session of the layer's own on a slot of NSS's database. Every attribute that
// NSS's database reads is an SQL query, and NSS's size-then-value reading makes two per object:
// this reads each object with one C_GetAttributeValue, into buffers grown when a value does not
// fit. The login state is the token's, shared by every session.
class DatabaseSession {
  public:
    explicit DatabaseSession(PK11SlotInfo* slot) : session_(slot) {}

    bool open() const { return session_.open(); }

    // The handles of every object of one class; false when the search failed.
    bool find(CK_OBJECT_CLASS objectClass, std::vector<CK_OBJECT_HANDLE>* handles) {
        CK_ATTRIBUTE match = {CKA_CLASS, &objectClass, sizeof objectClass};
        if (session_.functions()->C_FindObjectsInit(session_.handle(), &match, 1) != CKR_OK) {
            return false;
        }
        CK_OBJECT_HANDLE chunk[256];
        CK_ULONG found = 0;
        CK_RV rv = CKR_OK;
        while ((rv = session_.functions()->C_FindObjects(session_.handle(), chunk, 256, &found)) ==
                   CKR_OK &&
               found > 0) {
            handles->insert(handles->end(), chunk, chunk + found);
        }
        session_.functions()->C_FindObjectsFinal(session_.handle());
        return rv == CKR_OK;
    }

    // Reads the attributes of `types` (CKA_VALUE, CKA_ID) into `out`, in that order; false when
    // they cannot be read.
    template <size_t N>
    bool read(CK_OBJECT_HANDLE object, const CK_ATTRIBUTE_TYPE (&types)[N], std::string* out) {
        static_assert(N <= 2, "one buffer per attribute type");
        CK_ATTRIBUTE wanted[N];
        const CK_ULONG count = N;
        for (size_t i = 0; i < N; ++i) {
            wanted[i].type = types[i];
        }
        aim(wanted, count);
        CK_RV rv =
            session_.functions()->C_GetAttributeValue(session_.handle(), object, wanted, count);
        if (rv == CKR_BUFFER_TOO_SMALL) {
            for (size_t i = 0; i < count; ++i) {
                wanted[i].pValue = nullptr;
            }
            rv =
                session_.functions()->C_GetAttributeValue(session_.handle(), object, wanted, count);
            for (size_t i = 0; rv == CKR_OK && i < count; ++i) {
                if (wanted[i].ulValueLen == CK_UNAVAILABLE_INFORMATION) {
                    return false;
                }
                std::vector<BYTE>& buffer = bufferOf(wanted[i].type);
                buffer.resize(std::max<size_t>(buffer.size(), wanted[i].ulValueLen));
            }
            if (rv != CKR_OK) {
                return false;
            }
            aim(wanted, count);
            rv =
                session_.functions()->C_GetAttributeValue(session_.handle(), object, wanted, count);
        }
        if (rv != CKR_OK) {
            return false;
        }
        for (size_t i = 0; i < count; ++i) {
            if (wanted[i].ulValueLen > bufferOf(wanted[i].type).size()) {
                return false;  // CK_UNAVAILABLE_INFORMATION, or a module past its buffer
            }
            out[i].assign(reinterpret_cast<const char*>(wanted[i].pValue), wanted[i].ulValueLen);
        }
        return true;
    }

  private:
    std::vector<BYTE>& bufferOf(CK_ATTRIBUTE_TYPE type) { return type == CKA_ID ? id_ : value_; }
    void aim(CK_ATTRIBUTE* attributes, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            std::vector<BYTE>& buffer = bufferOf(attributes[i].type);
            attributes[i].pValue = buffer.data();
            attributes[i].ulValueLen = buffer.size();
        }
    }

    const OwnSession session_;
    std::vector<BYTE> value_ = std::vector<BYTE>(4096);  // most certificates fit
    std::vector<BYTE> id_ = std::vector<BYTE>(64);
};

// Reads a slot of NSS's own database through a session of the layer's own (see DatabaseSession).
bool readDatabase(PK11SlotInfo* slot, SlotObjects* objects) {
    DatabaseSession session(slot);
    if (!session.open()) {
        return false;
    }
    std::vector<CK_OBJECT_HANDLE> certificates, keys;
    if (!session.find(CKO_CERTIFICATE, &certificates) || !session.find(CKO_PRIVATE_KEY, &keys) ||
        (loggedOut(slot) && !session.find(CKO_PUBLIC_KEY, &keys))) {
        return false;
    }
    std::string id;
    for (CK_OBJECT_HANDLE key : keys) {
        if (session.read(key, {CKA_ID}, &id) && !id.empty()) {
            objects->keyIds.push_back(id);
        }
    }
    objects->certificates.reserve(certificates.size());
    std::string both[2];
    for (CK_OBJECT_HANDLE certificate : certificates) {
        if (session.read(certificate, {CKA_VALUE, CKA_ID}, both)) {
            objects->certificates.push_back({both[0], both[1]});
        } else if (session.read(certificate, {CKA_VALUE}, both)) {
            // a certificate may state no CKA_ID: no key then
            objects->certificates.push_back({both[0], std::string()});
        }
    }
    return true;
}

}  // namespace

std::string storeTokenName(PK11SlotInfo* slot) {
    return slot == databaseSlot() ? std::string("NSS Certificate DB") : PK11_GetTokenName(slot);
}

std::string containerName(const std::string& keyId, const CERT_INFO& certificate) {
    std::string name;
    appendHex(reinterpret_cast<const uint8_t*>(keyId.data()), keyId.size(), HexDigits::lower,
              &name);
    name.push_back('.');
    const CRYPT_BIT_STRING_BLOB& key = certificate.SubjectPublicKeyInfo.PublicKey;
    uint8_t identifier[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(key.pbData, key.cbData, identifier, &length, sha1Algorithm(), nullptr) != 1) {
        length = 0;  // a name no key answers to: the certificate lists, but cannot sign
    }
    appendHex(identifier, length, HexDigits::lower, &name);
    return name;
}

bool keyIdOfContainer(const std::string& container, std::string* keyId) {
    constexpr size_t kIdentifierDigits = 40;
    const size_t dot = container.rfind('.');
    return dot != std::string::npos && dot > 0 && container.size() - dot - 1 == kIdentifierDigits &&
           decodeHex(std::string_view(container).substr(0, dot), keyId);
}

bool listSlot(PK11SlotInfo* slot, std::vector<Entry>* entries) {
    SlotObjects objects;
    const SECMODModule* module = PK11_GetModule(slot);
    if (!(module != nullptr && module->internal ? readDatabase(slot, &objects)
                                                : readByNss(slot, &objects))) {
        return false;
    }
    std::vector<std::string>& keyIds = objects.keyIds;
    std::sort(keyIds.begin(), keyIds.end());
    const std::string token = storeTokenName(slot);
    for (const CertificateObject& object : objects.certificates) {
        Entry entry;
        entry.certificate = decodeCertificate(reinterpret_cast<const BYTE*>(object.value.data()),
                                              object.value.size());
        if (entry.certificate == nullptr) {
            continue;  // NSS accepted an encoding that is not a certificate the platform would hold
        }
        const std::string& id = object.id;
        if (!id.empty() && std::binary_search(keyIds.begin(), keyIds.end(), id)) {
            entry.hasKey = true;
            entry.container = containerName(id, entry.certificate->info);
            entry.token = token;
            entry.keySpec = keySpecOf(&entry.certificate->info);
        }
        entries->push_back(std::move(entry));
    }
    return true;
}

}  // namespace nsslayer
