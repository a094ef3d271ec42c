#include <cstdlib>
#include <functional>

#include "crypto.h"
#include "fixture.h"

namespace {

using Sign = ServiceTest;

const std::vector<BYTE> kData = {'d', 'a', 't', 'a'};

// What sign hands back: its status, the bytes, and whether the code and the bytes agree.
struct Signed {
    int32_t status;
    std::vector<BYTE> signature;
    bool handedBack;  // a buffer came back
};

Signed signWith(const std::vector<BYTE>& certificate) {
    BYTE* signature = reinterpret_cast<BYTE*>(1);  // must be cleared on failure
    DWORD length = 77;
    Signed out{sign(certificate.data(), static_cast<int32_t>(certificate.size()), kData.data(),
                    static_cast<int32_t>(kData.size()), &signature, &length),
               {},
               signature != nullptr};
    if (signature != nullptr) {
        out.signature.assign(signature, signature + length);
        free(signature);
    } else {
        EXPECT_EQ(0u, length);
    }
    return out;
}

struct Case {
    const char* what;
    std::function<void(fake::Certificate&)> arrange;
    int32_t code;
    bool unknown = false;  // ask for a certificate the store does not hold
};

TEST_F(Sign, EveryFailureGivesItsCode) {
    const Case cases[] = {
        {"store not opened", [](fake::Certificate&) { fake::fail(fake::OpenStore); },
         kStoreNotOpened},
        {"certificate not found", [](fake::Certificate&) {}, kCertificateNotInStore, true},
        {"certificate enumeration fails",
         [](fake::Certificate&) { fake::fail(fake::EnumCertificates); }, kCertificateNotInStore},
        {"no key-provider information", [](fake::Certificate& c) { c.hasKey = false; }, kNoKeyInfo},
        {"information size query fails",
         [](fake::Certificate&) { fake::fail(fake::GetProperty, 1); }, kNoKeyInfo},
        {"information read fails", [](fake::Certificate&) { fake::fail(fake::GetProperty, 2); },
         kKeyInfoNotRead},
        {"null container name", [](fake::Certificate& c) { c.nullContainer = true; },
         kKeyInfoNotRead},
        {"no memory for the information", [](fake::Certificate&) { fake::failAllocation(1); },
         kKeyInfoNotRead},
        {"no memory for the container name", [](fake::Certificate&) { fake::failAllocation(2); },
         kKeyInfoNotRead},
        {"no memory for the provider name", [](fake::Certificate&) { fake::failAllocation(3); },
         kKeyInfoNotRead},
        {"context not acquired", [](fake::Certificate&) { fake::fail(fake::AcquireContext); },
         kContextNotAcquired},
        {"hash not created", [](fake::Certificate&) { fake::fail(fake::CreateHash); },
         kHashNotCreated},
        {"data not hashed", [](fake::Certificate&) { fake::fail(fake::HashData); }, kDataNotHashed},
        {"no key answers either spec", [](fake::Certificate& c) { c.keySpecs = 0; }, kNoKeyForHash},
        {"no memory for the signature", [](fake::Certificate&) { fake::failAllocation(4); },
         kSignatureFailed},
        {"signing fails", [](fake::Certificate&) { fake::fail(fake::SignHash, 2); },
         kSignatureFailed},
        {"empty signature", [](fake::Certificate& c) { c.signature.clear(); }, kSignatureFailed},
        {"hash not destroyed", [](fake::Certificate&) { fake::fail(fake::DestroyHash); },
         kHashNotDestroyed},
        {"context not released", [](fake::Certificate&) { fake::fail(fake::ReleaseContext); },
         kContextNotReleased},
        {"store not closed", [](fake::Certificate&) { fake::fail(fake::CloseStore); },
         kStoreNotClosed},
        // Replacement rules between the steps and the clean-up.
        {"hash and context both fail to close",
         [](fake::Certificate&) {
             fake::fail(fake::DestroyHash);
             fake::fail(fake::ReleaseContext);
         },
         kContextNotReleased},
        {"no key, then the store fails to close",
         [](fake::Certificate& c) {
             c.hasKey = false;
             fake::fail(fake::CloseStore);
         },
         kNoKeyInfo},
        {"not found, then the store fails to close",
         [](fake::Certificate&) { fake::fail(fake::CloseStore); }, kCertificateNotInStore, true},
    };
    for (const Case& c : cases) {
        fake::reset();
        lastError = 0;
        const std::vector<BYTE> wanted = der(1);
        fake::add(der(2)).container = u"other";
        fake::Certificate& target = fake::add(wanted);
        c.arrange(target);
        const Signed result = signWith(c.unknown ? der(1, 1) : wanted);
        EXPECT_EQ(-1, result.status) << c.what;
        EXPECT_EQ(c.code, code()) << c.what;
        EXPECT_FALSE(result.handedBack) << c.what;
        EXPECT_EQ("", fake::unreleased()) << c.what;
    }
}

TEST_F(Sign, HandsTheSignatureBackMostSignificantByteFirst) {
    const std::vector<std::vector<BYTE>> written = {{1, 2, 3, 4}, {1, 2, 3, 4, 5}, {9}};
    for (const std::vector<BYTE>& bytes : written) {
        fake::reset();
        lastError = 7;
        fake::add(der(1)).signature = bytes;
        const Signed result = signWith(der(1));
        EXPECT_EQ(0, result.status);
        EXPECT_EQ(kSuccess, code());
        EXPECT_EQ(std::vector<BYTE>(bytes.rbegin(), bytes.rend()), result.signature);
        EXPECT_EQ("", fake::unreleased());
    }
}

TEST_F(Sign, FallsBackToTheSignatureKey) {
    fake::add(der(1)).keySpecs = AT_SIGNATURE;
    const Signed result = signWith(der(1));
    EXPECT_EQ(0, result.status);
    EXPECT_EQ((std::vector<BYTE>{4, 3, 2, 1}), result.signature);
}

TEST_F(Sign, DoesNotFallBackOnceTheExchangeKeyAnswered) {
    fake::add(der(1)).keySpecs = AT_KEYEXCHANGE | AT_SIGNATURE;
    fake::fail(fake::SignHash, 2);  // the exchange key gives its size, then fails to sign
    const Signed result = signWith(der(1));
    EXPECT_EQ(-1, result.status);
    EXPECT_EQ(kSignatureFailed, code());
}

// Fails each platform call, or each allocation, in turn until a run gets through untouched.
// Returns how many injected runs still signed: a failure the service absorbs by design.
int sweep(const std::function<void(int)>& inject, const std::function<void()>& arrange,
          const char* what) {
    int n = 1, absorbed = 0;
    for (;; ++n) {
        fake::reset();
        lastError = 0;
        arrange();
        inject(n);
        const Signed result = signWith(der(1));
        if (!fake::injected()) {
            EXPECT_EQ(0, result.status) << what;
            EXPECT_FALSE(result.signature.empty()) << what;
            break;
        }
        EXPECT_EQ("", fake::unreleased()) << what << " " << n;
        if (result.status == 0 && lastError.load() == 0 && !result.signature.empty()) {
            ++absorbed;
            continue;
        }
        EXPECT_EQ(-1, result.status) << what << " " << n;
        EXPECT_NE(0, lastError.load()) << what << " " << n;
        EXPECT_FALSE(result.handedBack) << what << " " << n;
    }
    return absorbed;
}

TEST_F(Sign, EveryInjectedFailureEndsCleanly) {
    const auto exchangeKey = [] {
        fake::add(der(2)).container = u"other";
        fake::add(der(1));
    };
    EXPECT_EQ(0, sweep(fake::failCall, exchangeKey, "platform call"));
    EXPECT_EQ(0, sweep(fake::failAllocation, exchangeKey, "allocation"));
    // A signature key is asked for the exchange spec first: failing that query only leads on to
    // the signature spec, which the key answers anyway.
    const auto signatureKey = [] { fake::add(der(1)).keySpecs = AT_SIGNATURE; };
    EXPECT_EQ(1, sweep(fake::failCall, signatureKey, "platform call, signature key"));
    EXPECT_EQ(0, sweep(fake::failAllocation, signatureKey, "allocation, signature key"));
}

}  // namespace
