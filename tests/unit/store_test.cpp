#include <cstdlib>

#include "crypto.h"
#include "fixture.h"

namespace {

using Store = ServiceTest;

std::vector<std::vector<BYTE>> listed(int32_t* status) {
    std::vector<std::vector<BYTE>> out;
    CertificateListNode* head = getCertificatesInMyStore(status);
    for (CertificateListNode* n = head; n != nullptr; n = n->next) {
        out.emplace_back(n->data, n->data + n->length);
    }
    freeCertificateList(head);
    return out;
}

TEST_F(Store, ListsCertificatesWithKeysInReverseEnumerationOrder) {
    fake::add(der(1));
    fake::add(der(2)).hasKey = false;
    fake::add(der(3, 300));
    lastError = 5;  // the listing leaves the register to its caller
    int32_t status = -1;
    EXPECT_EQ((std::vector<std::vector<BYTE>>{der(3, 300), der(1)}), listed(&status));
    EXPECT_EQ(0, status);
    EXPECT_EQ(5, code());
}

TEST_F(Store, NoKeysGivesAnEmptyListAndNoCode) {
    fake::add(der(1)).hasKey = false;
    int32_t status = -1;
    EXPECT_TRUE(listed(&status).empty());
    EXPECT_EQ(0, status);
    EXPECT_EQ(kSuccess, code());
}

TEST_F(Store, UnopenableStoreGivesSeven) {
    fake::add(der(1));
    fake::fail(fake::OpenStore);
    int32_t status = 0;
    EXPECT_TRUE(listed(&status).empty());
    EXPECT_EQ(kStoreNotOpened, status);
    EXPECT_EQ(kStoreNotOpened, code());
}

TEST_F(Store, FailedCloseAfterListingIsIgnored) {
    fake::add(der(1));
    fake::fail(fake::CloseStore);
    int32_t status = -1;
    EXPECT_EQ(1u, listed(&status).size());
    EXPECT_EQ(0, status);
}

TEST_F(Store, EveryAllocationFailureReleasesWhatWasGathered) {
    int n = 1;
    for (;; ++n) {
        fake::reset();
        for (BYTE tag = 1; tag <= 3; ++tag) {
            fake::add(der(tag));
        }
        lastError = 4;
        fake::failAllocation(n);
        int32_t status = -1;
        const size_t count = listed(&status).size();
        if (!fake::injected()) {
            EXPECT_EQ(3u, count);
            break;
        }
        EXPECT_EQ(0u, count) << "allocation " << n;
        EXPECT_EQ(0, status);
        EXPECT_EQ(4, code());
        EXPECT_EQ("", fake::unreleased()) << "allocation " << n;
    }
}

TEST_F(Store, EveryPlatformFailureReleasesEverything) {
    // A failed open ends with 7; a failed enumeration or property read lists fewer certificates,
    // a failed close is ignored.
    for (int n = 1;; ++n) {
        fake::reset();
        for (BYTE tag = 1; tag <= 3; ++tag) {
            fake::add(der(tag));
        }
        fake::failCall(n);
        int32_t status = -1;
        const size_t count = listed(&status).size();
        EXPECT_EQ("", fake::unreleased()) << "call " << n;
        if (!fake::injected()) {
            EXPECT_EQ(3u, count);
            break;
        }
        EXPECT_EQ(n == 1 ? kStoreNotOpened : kSuccess, status) << "call " << n;
    }
}

TEST_F(Store, LocatesOnlyTheExactEncoding) {
    const std::vector<BYTE> stored = der(7, 10);
    fake::add(der(6, 10));
    fake::add(stored);
    fake::add(stored).hasKey = false;  // a duplicate further on is never reached
    struct Case {
        const char* what;
        std::vector<BYTE> bytes;
        bool found;
    };
    std::vector<BYTE> changed = stored, shorter = stored, longer = stored;
    changed.back() ^= 1;
    shorter.pop_back();
    longer.push_back(0);
    const Case cases[] = {{"exact", stored, true},
                          {"one byte different", changed, false},
                          {"one byte shorter", shorter, false},
                          {"one byte longer", longer, false},
                          {"empty", {}, false}};
    for (const Case& c : cases) {
        HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, 0, nullptr);
        PCCERT_CONTEXT found =
            locateCertificate(store, c.bytes.data(), static_cast<int32_t>(c.bytes.size()));
        EXPECT_EQ(c.found, found != nullptr) << c.what;
        if (found != nullptr) {
            DWORD size = 0;  // the first of the duplicates, which has the key
            EXPECT_TRUE(CertGetCertificateContextProperty(found, CERT_KEY_PROV_INFO_PROP_ID,
                                                          nullptr, &size));
            CertFreeCertificateContext(found);
        }
        CertCloseStore(store, 0);
    }
}

}  // namespace
