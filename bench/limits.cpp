// The limits the library is measured against: bare NSS and OpenSSL on the same database and bytes,
// with nothing of ours in between.
//
//   bench_limits --db DIR [--benchmark_... flags]
//
// DIR is an NSS database holding the RSA-2048 key and certificate "signer" (bench/make-stores.sh).
#include <cert.h>
#include <keyhi.h>
#include <nss.h>
#include <openssl/evp.h>
#include <pk11pub.h>
#include <pkcs11.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "change_database.h"

namespace {

std::string databaseDirectory;
NSSInitContext* context = nullptr;
CERTCertificate* signerCert = nullptr;
SECKEYPrivateKey* signerKey = nullptr;

const EVP_MD* sha1() {
    static const EVP_MD* md = EVP_MD_fetch(nullptr, "SHA1", nullptr);
    return md;
}

std::vector<unsigned char> bytesOf(size_t size) {
    std::vector<unsigned char> data(size);
    for (size_t i = 0; i < size; ++i) {
        data[i] = static_cast<unsigned char>(i * 131 + 7);
    }
    return data;
}

// Opens the database read-only, as the library does, and looks the signing key up once.
bool open(const std::string& directory) {
    const std::string config = "sql:" + directory;
    context = NSS_InitContext(config.c_str(), "", "", "", nullptr,
                              NSS_INIT_READONLY | NSS_INIT_OPTIMIZESPACE);
    if (context == nullptr) {
        return false;
    }
    signerCert = PK11_FindCertFromNickname("signer", nullptr);
    signerKey = signerCert == nullptr ? nullptr : PK11_FindKeyByAnyCert(signerCert, nullptr);
    return signerKey != nullptr;
}

// SHA-1 of 1 KiB, the DigestInfo around it and PK11_Sign: what firmar costs without the library.
// With `sessionCopy`, the key is first copied into a session object of its token: the token then
// signs without reading the key from its database each time.
void nssSign(benchmark::State& state, bool sessionCopy) {
    SECKEYPrivateKey* key = signerKey;
    if (sessionCopy) {
        key = PK11_CopyTokenPrivKeyToSessionPrivKey(signerKey->pkcs11Slot, signerKey);
        if (key == nullptr) {
            state.SkipWithError("PK11_CopyTokenPrivKeyToSessionPrivKey failed");
            return;
        }
    }
    const std::vector<unsigned char> data = bytesOf(1024);
    const auto& prefix = kSha1DigestInfoPrefix;
    unsigned char digestInfo[sizeof prefix + 20];
    memcpy(digestInfo, prefix, sizeof prefix);
    std::vector<unsigned char> signature(static_cast<size_t>(PK11_SignatureLen(key)));
    if (sessionCopy) {
        // PKCS#1 v1.5 is deterministic: the copy must sign exactly as the token's key does.
        std::vector<unsigned char> reference(signature.size());
        SECItem input = {siBuffer, digestInfo, sizeof digestInfo};
        SECItem a = {siBuffer, signature.data(), static_cast<unsigned int>(signature.size())};
        SECItem b = {siBuffer, reference.data(), static_cast<unsigned int>(reference.size())};
        if (PK11_Sign(key, &a, &input) != SECSuccess ||
            PK11_Sign(signerKey, &b, &input) != SECSuccess || signature != reference) {
            state.SkipWithError("the session copy signs differently");
        }
    }
    for (auto _ : state) {
        unsigned int length = 0;
        EVP_Digest(data.data(), data.size(), digestInfo + sizeof prefix, &length, sha1(), nullptr);
        SECItem input = {siBuffer, digestInfo, sizeof digestInfo};
        SECItem output = {siBuffer, signature.data(), static_cast<unsigned int>(signature.size())};
        if (PK11_Sign(key, &output, &input) != SECSuccess) {
            state.SkipWithError("PK11_Sign failed");
            break;
        }
        benchmark::DoNotOptimize(signature.data());
    }
    if (sessionCopy) {
        SECKEY_DestroyPrivateKey(key);
    }
}

// The same signature as nssSign straight through the token's PKCS#11 functions, on one session kept
// open, as the JDK's SunPKCS11 calls them: what NSS's PK11_Sign adds around C_SignInit + C_Sign.
void pkcs11Sign(benchmark::State& state) {
    PK11SlotInfo* slot = signerKey->pkcs11Slot;
    auto* functions = static_cast<CK_FUNCTION_LIST_PTR>(PK11_GetModule(slot)->functionList);
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    if (functions->C_OpenSession(PK11_GetSlotID(slot), CKF_SERIAL_SESSION, nullptr, nullptr,
                                 &session) != CKR_OK) {
        state.SkipWithError("C_OpenSession failed");
        return;
    }
    const std::vector<unsigned char> data = bytesOf(1024);
    const auto& prefix = kSha1DigestInfoPrefix;
    unsigned char digestInfo[sizeof prefix + 20];
    memcpy(digestInfo, prefix, sizeof prefix);
    std::vector<unsigned char> signature(static_cast<size_t>(PK11_SignatureLen(signerKey)));
    CK_MECHANISM mechanism = {CKM_RSA_PKCS, nullptr, 0};
    for (auto _ : state) {
        unsigned int length = 0;
        EVP_Digest(data.data(), data.size(), digestInfo + sizeof prefix, &length, sha1(), nullptr);
        CK_ULONG signatureLength = signature.size();
        if (functions->C_SignInit(session, &mechanism, signerKey->pkcs11ID) != CKR_OK ||
            functions->C_Sign(session, digestInfo, sizeof digestInfo, signature.data(),
                              &signatureLength) != CKR_OK) {
            state.SkipWithError("C_SignInit or C_Sign failed");
            break;
        }
        benchmark::DoNotOptimize(signature.data());
    }
    functions->C_CloseSession(session);
}

// The listing the library made before it read objects: PK11_ListCertsInSlot and
// PK11_KeyForCertExists on each certificate. With `change`, the database is changed (untimed)
// before each listing.
void nssList(benchmark::State& state, bool change) {
    PK11SlotInfo* slot = PK11_GetInternalKeySlot();
    for (auto _ : state) {
        if (change && !changeDatabaseUntimed(state, databaseDirectory)) {
            break;
        }
        CERTCertList* certs = PK11_ListCertsInSlot(slot);
        if (certs == nullptr) {
            state.SkipWithError("PK11_ListCertsInSlot failed");
            break;
        }
        int keys = 0;
        for (CERTCertListNode* node = CERT_LIST_HEAD(certs); !CERT_LIST_END(node, certs);
             node = CERT_LIST_NEXT(node)) {
            PK11SlotInfo* keySlot = PK11_KeyForCertExists(node->cert, nullptr, nullptr);
            if (keySlot != nullptr) {
                ++keys;
                PK11_FreeSlot(keySlot);
            }
        }
        CERT_DestroyCertList(certs);
        state.counters["keys"] = keys;
    }
    PK11_FreeSlot(slot);
}

// How far a listing by PKCS#11 objects goes: the library's listing is kObjectKeys.
enum ObjectSteps {
    kObjectFind,  // the certificate objects of every present token
    kObjectRead,  // and CKA_VALUE and CKA_ID of each
    kObjectKeys,  // and the CKA_IDs of the private keys (the public keys' on a token logged out)
};

// What one listing found.
struct Listed {
    int certificates = 0, keys = 0;
};

bool loggedOut(PK11SlotInfo* slot) {
    return PK11_NeedLogin(slot) && !PK11_IsLoggedIn(slot, nullptr);
}

// Appends the CKA_ID of every object of the list.
void readIds(PK11GenericObject* objects, std::vector<std::string>* ids) {
    for (PK11GenericObject* o = objects; o != nullptr; o = PK11_GetNextGenericObject(o)) {
        CK_ATTRIBUTE id = {CKA_ID, nullptr, 0};
        if (PK11_ReadRawAttributes(nullptr, PK11_TypeGeneric, o, &id, 1) == SECSuccess &&
            id.ulValueLen > 0) {
            ids->emplace_back(static_cast<const char*>(id.pValue), id.ulValueLen);
        }
        PORT_Free(id.pValue);
    }
}

void nssIds(PK11SlotInfo* slot, CK_OBJECT_CLASS objectClass, std::vector<std::string>* ids) {
    PK11GenericObject* objects = PK11_FindGenericObjects(slot, objectClass);
    readIds(objects, ids);
    if (objects != nullptr) {
        PK11_DestroyGenericObjects(objects);
    }
}

// A slot in NSS's generic-object calls, which ask each value's size before the value: the
// library's listing of a token of another module.
void listByNss(PK11SlotInfo* slot, ObjectSteps steps, Listed* listed) {
    PK11GenericObject* certs = PK11_FindGenericObjects(slot, CKO_CERTIFICATE);
    std::vector<std::string> keyIds;
    if (steps >= kObjectKeys) {
        nssIds(slot, CKO_PRIVATE_KEY, &keyIds);
        if (loggedOut(slot)) {
            nssIds(slot, CKO_PUBLIC_KEY, &keyIds);
        }
        std::sort(keyIds.begin(), keyIds.end());
    }
    for (PK11GenericObject* o = certs; o != nullptr; o = PK11_GetNextGenericObject(o)) {
        ++listed->certificates;
        if (steps < kObjectRead) {
            continue;
        }
        CK_ATTRIBUTE both[2] = {{CKA_VALUE, nullptr, 0}, {CKA_ID, nullptr, 0}};
        if (PK11_ReadRawAttributes(nullptr, PK11_TypeGeneric, o, both, 2) == SECSuccess) {
            const std::string id(static_cast<const char*>(both[1].pValue), both[1].ulValueLen);
            listed->keys += !id.empty() && std::binary_search(keyIds.begin(), keyIds.end(), id);
            benchmark::DoNotOptimize(both[0].pValue);
        }
        PORT_Free(both[0].pValue);
        PORT_Free(both[1].pValue);
    }
    if (certs != nullptr) {
        PK11_DestroyGenericObjects(certs);
    }
}

// The handles of every object of one class, by one search on `session`.
std::vector<CK_OBJECT_HANDLE> findHandles(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE session,
                                          CK_OBJECT_CLASS objectClass) {
    std::vector<CK_OBJECT_HANDLE> handles;
    CK_ATTRIBUTE match = {CKA_CLASS, &objectClass, sizeof objectClass};
    if (f->C_FindObjectsInit(session, &match, 1) != CKR_OK) {
        return handles;
    }
    CK_OBJECT_HANDLE chunk[256];
    CK_ULONG found = 0;
    while (f->C_FindObjects(session, chunk, 256, &found) == CKR_OK && found > 0) {
        handles.insert(handles.end(), chunk, chunk + found);
    }
    f->C_FindObjectsFinal(session);
    return handles;
}

// A slot of NSS's database, as the library lists it: PKCS#11 calls on a session of its own, one
// C_GetAttributeValue per object into buffers large enough.
void listDirectly(PK11SlotInfo* slot, ObjectSteps steps, Listed* listed) {
    auto* f = static_cast<CK_FUNCTION_LIST*>(PK11_GetModule(slot)->functionList);
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    if (f->C_OpenSession(PK11_GetSlotID(slot), CKF_SERIAL_SESSION, nullptr, nullptr, &session) !=
        CKR_OK) {
        return;
    }
    std::vector<unsigned char> value(4096), id(64);
    const std::vector<CK_OBJECT_HANDLE> certs = findHandles(f, session, CKO_CERTIFICATE);
    std::vector<std::string> keyIds;
    const auto readIds = [&](CK_OBJECT_CLASS objectClass) {
        for (CK_OBJECT_HANDLE h : findHandles(f, session, objectClass)) {
            CK_ATTRIBUTE a = {CKA_ID, id.data(), id.size()};
            if (f->C_GetAttributeValue(session, h, &a, 1) == CKR_OK && a.ulValueLen > 0) {
                keyIds.emplace_back(reinterpret_cast<const char*>(id.data()), a.ulValueLen);
            }
        }
    };
    if (steps >= kObjectKeys) {
        readIds(CKO_PRIVATE_KEY);
        if (loggedOut(slot)) {
            readIds(CKO_PUBLIC_KEY);
        }
        std::sort(keyIds.begin(), keyIds.end());
    }
    for (CK_OBJECT_HANDLE h : certs) {
        ++listed->certificates;
        if (steps < kObjectRead) {
            continue;
        }
        CK_ATTRIBUTE both[2] = {{CKA_VALUE, value.data(), value.size()},
                                {CKA_ID, id.data(), id.size()}};
        if (f->C_GetAttributeValue(session, h, both, 2) == CKR_OK) {
            const std::string i(reinterpret_cast<const char*>(id.data()), both[1].ulValueLen);
            listed->keys += !i.empty() && std::binary_search(keyIds.begin(), keyIds.end(), i);
            benchmark::DoNotOptimize(value.data());
        }
    }
    f->C_CloseSession(session);
}

// The library's listing done bare, on the same tokens, with the certificates' bytes and IDs kept
// and matched to the key IDs but nothing decoded: NSS's database read directly, other modules
// through NSS, as the library reads them; with `nssOnly`, every token through NSS (how the
// library read them before). With `change`, the database is changed (untimed) before each one.
void objectList(benchmark::State& state, bool change, ObjectSteps steps, bool nssOnly) {
    std::vector<PK11SlotInfo*> slots;
    PK11SlotList* all = PK11_GetAllTokens(CKM_INVALID_MECHANISM, PR_FALSE, PR_FALSE, nullptr);
    for (PK11SlotListElement* e = all ? all->head : nullptr; e != nullptr; e = e->next) {
        slots.push_back(PK11_ReferenceSlot(e->slot));
    }
    if (all != nullptr) {
        PK11_FreeSlotList(all);
    }
    for (auto _ : state) {
        if (change && !changeDatabaseUntimed(state, databaseDirectory)) {
            break;
        }
        Listed listed;
        for (PK11SlotInfo* slot : slots) {
            if (!PK11_IsPresent(slot)) {
                continue;
            }
            if (!nssOnly && PK11_GetModule(slot)->internal) {
                listDirectly(slot, steps, &listed);
            } else {
                listByNss(slot, steps, &listed);
            }
        }
        state.counters["certificates"] = listed.certificates;
        state.counters["keys"] = listed.keys;
    }
    for (PK11SlotInfo* slot : slots) {
        PK11_FreeSlot(slot);
    }
}

void opensslSha1(benchmark::State& state) {
    const std::vector<unsigned char> data = bytesOf(static_cast<size_t>(state.range(0)));
    unsigned char value[EVP_MAX_MD_SIZE];
    for (auto _ : state) {
        unsigned int length = 0;
        EVP_Digest(data.data(), data.size(), value, &length, sha1(), nullptr);
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void nssSha1(benchmark::State& state) {
    const std::vector<unsigned char> data = bytesOf(static_cast<size_t>(state.range(0)));
    unsigned char value[20];
    for (auto _ : state) {
        PK11_HashBuf(SEC_OID_SHA1, value, data.data(), static_cast<PRInt32>(data.size()));
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// A native copy into fresh memory, as HotSpot's GetByteArrayElements makes one: malloc, memcpy,
// free. Large blocks come straight from mmap, so every page faults in on the copy.
void mallocCopy(benchmark::State& state) {
    const std::vector<unsigned char> data = bytesOf(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        auto* copy = static_cast<unsigned char*>(malloc(data.size()));
        memcpy(copy, data.data(), data.size());
        benchmark::DoNotOptimize(copy);
        free(copy);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

}  // namespace

int main(int argc, char** argv) {
    std::string directory;
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "--db") == 0 && i + 1 < argc) {
            directory = argv[++i];
        } else {
            rest.push_back(argv[i]);
        }
    }
    databaseDirectory = directory;
    if (directory.empty() || !open(directory)) {
        fprintf(stderr,
                "bench_limits: cannot open the database or its key \"signer\" (--db DIR)\n");
        return 2;
    }
    benchmark::RegisterBenchmark("limit/nss_sign_rsa2048", nssSign, false)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("info/nss_sign_session_key_copy", nssSign, true)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("info/pkcs11_sign_kept_session", pkcs11Sign)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("limit/object_list", objectList, false, kObjectKeys, false)
        ->Unit(benchmark::kMicrosecond);
    // certutil takes tens of milliseconds: a few listings per repetition are enough.
    benchmark::RegisterBenchmark("limit/object_list_after_change", objectList, true, kObjectKeys,
                                 false)
        ->Iterations(3)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("info/nss_object_list_after_change", objectList, true, kObjectKeys,
                                 true)
        ->Iterations(3)
        ->Unit(benchmark::kMicrosecond);
    // Where the bare object listing after a change spends its time, step by step.
    for (const auto& [name, steps] :
         {std::pair{"find", kObjectFind}, std::pair{"read", kObjectRead},
          std::pair{"keys", kObjectKeys}}) {
        benchmark::RegisterBenchmark((std::string("info/object_steps/") + name).c_str(), objectList,
                                     true, steps, false)
            ->Iterations(3)
            ->Repetitions(3)
            ->Unit(benchmark::kMicrosecond);
    }
    // The listing the library made before it read objects: quadratic in the store's size, so
    // bench.sh runs these up to 1,000 certificates only.
    benchmark::RegisterBenchmark("info/nss_list_keycheck", nssList, false)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("info/nss_list_keycheck_after_change", nssList, true)
        ->Iterations(3)
        ->Unit(benchmark::kMicrosecond);
    for (const int64_t size : {int64_t{1} << 10, int64_t{1} << 20, int64_t{1} << 26}) {
        benchmark::RegisterBenchmark("limit/openssl_sha1", opensslSha1)
            ->Arg(size)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark("info/nss_sha1", nssSha1)
            ->Arg(size)
            ->Unit(benchmark::kMicrosecond);
    }
    for (const int64_t size : {int64_t{1} << 20, int64_t{1} << 26}) {
        benchmark::RegisterBenchmark("info/malloc_memcpy_free", mallocCopy)
            ->Arg(size)
            ->Unit(benchmark::kMicrosecond);
    }
    int count = static_cast<int>(rest.size());
    benchmark::Initialize(&count, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    SECKEY_DestroyPrivateKey(signerKey);
    CERT_DestroyCertificate(signerCert);
    NSS_ShutdownContext(context);
    return 0;
}
