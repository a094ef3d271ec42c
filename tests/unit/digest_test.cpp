#include <cstdlib>
#include <functional>

#include "crypto.h"
#include "fixture.h"

namespace {

using Digest = ServiceTest;

struct Digested {
    int32_t status;
    std::vector<BYTE> hash;
    bool handedBack;
};

Digested digest() {
    const BYTE data[] = {1, 2, 3};
    BYTE* hash = reinterpret_cast<BYTE*>(1);  // must be cleared on failure
    DWORD length = 77;
    Digested out{digest_sha1(data, sizeof data, &hash, &length), {}, hash != nullptr};
    if (hash != nullptr) {
        out.hash.assign(hash, hash + length);
        free(hash);
    } else {
        EXPECT_EQ(0u, length);
    }
    return out;
}

TEST_F(Digest, HandsBackThePlatformsValue) {
    lastError = 4;
    const Digested result = digest();
    EXPECT_EQ(0, result.status);
    EXPECT_EQ(kSuccess, code());
    std::vector<BYTE> expected(20);
    for (BYTE i = 0; i < 20; ++i) {
        expected[i] = i;  // as the fake writes it, in order
    }
    EXPECT_EQ(expected, result.hash);
}

TEST_F(Digest, EveryFailureGivesItsCode) {
    struct Case {
        const char* what;
        std::function<void()> arrange;
        int32_t code;
    };
    const Case cases[] = {
        {"no memory for the value", [] { fake::failAllocation(1); }, kHashValueNotRead},
        {"value not read", [] { fake::fail(fake::GetHashParam, 2); }, kHashValueNotRead},
        {"size not queried", [] { fake::fail(fake::GetHashParam, 1); }, kHashSizeNotRead},
        {"hash not destroyed", [] { fake::fail(fake::DestroyHash); }, kHashNotDestroyed},
        {"hash not created", [] { fake::fail(fake::CreateHash); }, kHashNotCreated},
        {"context not released", [] { fake::fail(fake::ReleaseContext); }, kContextNotReleased},
        {"context not acquired", [] { fake::fail(fake::AcquireContext); }, kContextNotAcquired},
        {"data not hashed", [] { fake::fail(fake::HashData); }, kDataNotHashed},
        {"hash and context both fail to close",
         [] {
             fake::fail(fake::DestroyHash);
             fake::fail(fake::ReleaseContext);
         },
         kContextNotReleased},
    };
    for (const Case& c : cases) {
        fake::reset();
        lastError = 0;
        c.arrange();
        const Digested result = digest();
        EXPECT_EQ(-1, result.status) << c.what;
        EXPECT_EQ(c.code, code()) << c.what;
        EXPECT_FALSE(result.handedBack) << c.what;
        EXPECT_EQ("", fake::unreleased()) << c.what;
    }
}

TEST_F(Digest, EveryInjectedFailureEndsCleanly) {
    const std::pair<const char*, void (*)(int)> injections[] = {
        {"platform call", fake::failCall}, {"allocation", fake::failAllocation}};
    for (const auto& [what, inject] : injections) {
        int n = 1;
        for (;; ++n) {
            fake::reset();
            lastError = 0;
            inject(n);
            const Digested result = digest();
            if (!fake::injected()) {
                EXPECT_EQ(0, result.status) << what;
                break;
            }
            EXPECT_EQ(-1, result.status) << what << " " << n;
            EXPECT_NE(0, code()) << what << " " << n;
            EXPECT_FALSE(result.handedBack) << what << " " << n;
            EXPECT_EQ("", fake::unreleased()) << what << " " << n;
        }
        EXPECT_GT(n, 1) << what;
    }
}

}  // namespace
