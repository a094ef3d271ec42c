#include "fake_platform.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <set>

#include "error_register.h"

// The library's register lives in its native module, which the unit tests do not link.
std::atomic<int32_t> lastError{0};

extern "C" void* __real_malloc(size_t size);
extern "C" void __real_free(void* block);
extern "C" void* __wrap_malloc(size_t size);
extern "C" void __wrap_free(void* block);

namespace fake {
namespace {

struct State {
    std::deque<Certificate> certificates;  // a deque keeps addresses stable as tests add
    std::vector<CERT_CONTEXT> contexts;
    int failOn[OpCount] = {};
    bool failEvery[OpCount] = {};
    int calls[OpCount] = {};
    int failCallAt = 0, callCount = 0;
    int failAllocationAt = 0, allocationCount = 0;
    bool injected = false;
    int stores = 0, contextsHeld = 0, providers = 0, hashes = 0;
    std::set<void*> blocks;
};

State& state() {
    static State* s = new State;
    return *s;
}

// Counts the call and says whether it must fail.
bool failing(Op op) {
    State& s = state();
    const int n = ++s.calls[op];
    const bool fails = s.failEvery[op] || s.failOn[op] == n || ++s.callCount == s.failCallAt;
    s.injected = s.injected || fails;
    return fails;
}

struct Provider {
    const Certificate* certificate;  // null for a context without a key
};

struct Hash {
    Provider* provider;
    bool signedOrRead = false;
};

Certificate& certificateOf(PCCERT_CONTEXT context) {
    return state().certificates[static_cast<size_t>(context - state().contexts.data())];
}

}  // namespace

void reset() {
    State& s = state();
    s.~State();
    new (&s) State();
}

Certificate& add(std::vector<BYTE> der) {
    State& s = state();
    Certificate& c = s.certificates.emplace_back();
    c.der = std::move(der);
    s.contexts.clear();
    for (Certificate& each : s.certificates) {
        s.contexts.push_back(CERT_CONTEXT{X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, each.der.data(),
                                          static_cast<DWORD>(each.der.size()), &each.info,
                                          nullptr});
    }
    return c;
}

void fail(Op op, int n) {
    if (n == 0) {
        state().failEvery[op] = true;
    } else {
        state().failOn[op] = n;
    }
}

void failCall(int n) {
    state().failCallAt = n;
}

void failAllocation(int n) {
    state().failAllocationAt = n;
}

bool injected() {
    return state().injected;
}

std::string unreleased() {
    State& s = state();
    std::string out;
    if (s.stores)
        out += " stores=" + std::to_string(s.stores);
    if (s.contextsHeld)
        out += " contexts=" + std::to_string(s.contextsHeld);
    if (s.providers)
        out += " providers=" + std::to_string(s.providers);
    if (s.hashes)
        out += " hashes=" + std::to_string(s.hashes);
    if (!s.blocks.empty())
        out += " blocks=" + std::to_string(s.blocks.size());
    return out;
}

}  // namespace fake

using fake::failing;
using fake::Op;
using fake::state;

extern "C" void* __wrap_malloc(size_t size) {
    fake::State& s = state();
    if (++s.allocationCount == s.failAllocationAt) {
        s.injected = true;
        return nullptr;
    }
    void* block = __real_malloc(size);
    s.blocks.insert(block);
    return block;
}

extern "C" void __wrap_free(void* block) {
    state().blocks.erase(block);
    __real_free(block);
}

DWORD GetLastError() {
    return 0;
}

void SetLastError(DWORD) {}

HCERTSTORE CertOpenStore(LPCSTR, DWORD, HCRYPTPROV_LEGACY, DWORD, const void*) {
    if (failing(Op::OpenStore)) {
        return nullptr;
    }
    ++state().stores;
    return &state();
}

BOOL CertCloseStore(HCERTSTORE, DWORD) {
    --state().stores;
    return !failing(Op::CloseStore);
}

PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE, PCCERT_CONTEXT previous) {
    fake::State& s = state();
    size_t index = 0;
    if (previous != nullptr) {
        index = static_cast<size_t>(previous - s.contexts.data()) + 1;
        --s.contextsHeld;
    }
    if (failing(Op::EnumCertificates) || index >= s.contexts.size()) {
        return nullptr;
    }
    ++s.contextsHeld;
    return &s.contexts[index];
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT context) {
    if (context != nullptr) {
        --state().contextsHeld;
    }
    return TRUE;
}

BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT context, DWORD, void* data, DWORD* dataSize) {
    fake::Certificate& c = fake::certificateOf(context);
    if (failing(Op::GetProperty) || !c.hasKey) {
        return FALSE;
    }
    const size_t strings = (c.container.size() + 1 + c.provider.size() + 1) * sizeof(WCHAR);
    const DWORD needed = static_cast<DWORD>(sizeof(CRYPT_KEY_PROV_INFO) + strings);
    if (data == nullptr || *dataSize < needed) {
        *dataSize = needed;
        return data == nullptr;
    }
    auto* info = static_cast<CRYPT_KEY_PROV_INFO*>(data);
    auto* container = reinterpret_cast<WCHAR*>(info + 1);
    WCHAR* provider = container + c.container.size() + 1;
    memcpy(container, c.container.c_str(), (c.container.size() + 1) * sizeof(WCHAR));
    memcpy(provider, c.provider.c_str(), (c.provider.size() + 1) * sizeof(WCHAR));
    *info = CRYPT_KEY_PROV_INFO{c.nullContainer ? nullptr : container,
                                provider,
                                PROV_RSA_FULL,
                                0,
                                0,
                                nullptr,
                                AT_KEYEXCHANGE};
    return TRUE;
}

DWORD CertGetNameStringW(PCCERT_CONTEXT context, DWORD, DWORD, void*, LPWSTR name, DWORD nameSize) {
    const std::u16string& text = fake::certificateOf(context).name;
    if (failing(Op::GetNameString)) {
        return 0;
    }
    const DWORD needed = static_cast<DWORD>(text.size() + 1);
    if (name == nullptr) {
        return needed;
    }
    const DWORD count = needed < nameSize ? needed : nameSize;
    memcpy(name, text.c_str(), count * sizeof(WCHAR));
    name[count - 1] = 0;
    return count;
}

BOOL CertGetIntendedKeyUsage(DWORD, PCERT_INFO info, BYTE* keyUsage, DWORD size) {
    memset(keyUsage, 0, size);
    for (const fake::Certificate& c : state().certificates) {
        if (&c.info == info) {
            if (failing(Op::GetKeyUsage) || !c.hasKeyUsage) {
                return FALSE;
            }
            memcpy(keyUsage, c.keyUsage, size < 2 ? size : 2);
            return TRUE;
        }
    }
    return FALSE;
}

BOOL CryptAcquireContextA(HCRYPTPROV* prov, LPCSTR container, LPCSTR, DWORD, DWORD flags) {
    if (failing(Op::AcquireContext)) {
        return FALSE;
    }
    const fake::Certificate* found = nullptr;
    if (flags != CRYPT_VERIFYCONTEXT) {
        for (const fake::Certificate& c : state().certificates) {
            std::string narrow(c.container.begin(), c.container.end());
            if (container != nullptr && narrow == container) {
                found = &c;
            }
        }
        if (found == nullptr) {
            return FALSE;
        }
    }
    ++state().providers;
    *prov = reinterpret_cast<HCRYPTPROV>(new fake::Provider{found});
    return TRUE;
}

BOOL CryptReleaseContext(HCRYPTPROV prov, DWORD) {
    --state().providers;
    delete reinterpret_cast<fake::Provider*>(prov);
    return !failing(Op::ReleaseContext);
}

BOOL CryptCreateHash(HCRYPTPROV prov, ALG_ID algorithm, HCRYPTKEY, DWORD, HCRYPTHASH* hash) {
    if (failing(Op::CreateHash) || algorithm != CALG_SHA1) {
        return FALSE;
    }
    ++state().hashes;
    *hash = reinterpret_cast<HCRYPTHASH>(new fake::Hash{reinterpret_cast<fake::Provider*>(prov)});
    return TRUE;
}

BOOL CryptDestroyHash(HCRYPTHASH hash) {
    --state().hashes;
    delete reinterpret_cast<fake::Hash*>(hash);
    return !failing(Op::DestroyHash);
}

BOOL CryptHashData(HCRYPTHASH hash, const BYTE*, DWORD, DWORD) {
    return !failing(Op::HashData) && !reinterpret_cast<fake::Hash*>(hash)->signedOrRead;
}

BOOL CryptGetHashParam(HCRYPTHASH hash, DWORD param, BYTE* data, DWORD* dataLength, DWORD) {
    if (failing(Op::GetHashParam) || param != HP_HASHVAL) {
        return FALSE;
    }
    if (data != nullptr) {
        if (*dataLength < 20) {
            return FALSE;
        }
        for (BYTE i = 0; i < 20; ++i) {
            data[i] = i;
        }
        reinterpret_cast<fake::Hash*>(hash)->signedOrRead = true;
    }
    *dataLength = 20;
    return TRUE;
}

BOOL CryptSignHashA(HCRYPTHASH hash, DWORD keySpec, LPCSTR, DWORD, BYTE* signature,
                    DWORD* signatureLength) {
    auto* h = reinterpret_cast<fake::Hash*>(hash);
    const fake::Certificate* c = h->provider->certificate;
    if (failing(Op::SignHash) || c == nullptr || (c->keySpecs & keySpec) == 0) {
        return FALSE;
    }
    const DWORD needed = static_cast<DWORD>(c->signature.size());
    if (signature != nullptr) {
        if (*signatureLength < needed) {
            return FALSE;
        }
        memcpy(signature, c->signature.data(), needed);
        h->signedOrRead = true;
    }
    *signatureLength = needed;
    return TRUE;
}
