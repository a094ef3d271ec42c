// A scripted cryptography interface for the unit tests, linked in place of the NSS layer.
// Every operation can be made to fail, by name or by the global count of calls, and the fake
// keeps count of what was handed out so that a test can see anything left unreleased.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cryptoapi/platform.h"

namespace fake {

enum Op {
    OpenStore,
    EnumCertificates,
    CloseStore,
    GetProperty,    // CertGetCertificateContextProperty, size query and read alike
    GetNameString,  // CertGetNameStringW
    GetKeyUsage,    // CertGetIntendedKeyUsage
    AcquireContext,
    CreateHash,
    HashData,
    GetHashParam,
    SignHash,
    DestroyHash,
    ReleaseContext,
    OpCount
};

struct Certificate {
    std::vector<BYTE> der;
    bool hasKey = true;
    bool nullContainer = false;
    std::u16string container = u"container";
    std::u16string provider = u"provider";
    DWORD keySpecs = AT_KEYEXCHANGE;             // the specs the container answers, as a bit mask
    std::vector<BYTE> signature = {1, 2, 3, 4};  // as the provider writes it
    std::u16string name = u"CN=Test";            // rendered subject and issuer
    bool hasKeyUsage = true;
    BYTE keyUsage[2] = {0x80, 0x00};
    CERT_INFO info{};
};

// Forgets every certificate, failure and count.
void reset();
// Adds a certificate with the given DER to the store, in enumeration order.
Certificate& add(std::vector<BYTE> der);
// Makes the n-th call (from 1) of `op` fail, or every call when n is 0.
void fail(Op op, int n = 0);
// Makes the n-th platform call of any kind fail (from 1); 0 turns it off.
void failCall(int n);
// Makes the n-th malloc fail (from 1); 0 turns it off.
void failAllocation(int n);
// Whether a failure was injected since the last reset.
bool injected();
// Whether every store, context, provider, hash and malloc'd block was given back.
std::string unreleased();

}  // namespace fake
