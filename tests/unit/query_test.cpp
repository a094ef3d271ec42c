#include <cstdlib>
#include <functional>

#include "crypto.h"
#include "fixture.h"

namespace {

using Query = ServiceTest;

// One attribute query as a call on the certificate's bytes; the serial number's context and the
// name's buffer are given back here, as the native methods give them back.
struct Service {
    const char* name;
    bool keyUsage;  // the one query whose failed close keeps an earlier code
    std::function<int32_t(const std::vector<BYTE>&)> call;
};

int32_t length(const std::vector<BYTE>& bytes) {
    return static_cast<int32_t>(bytes.size());
}

const Service kServices[] = {
    {"name", false,
     [](const std::vector<BYTE>& b) {
         WCHAR* name = nullptr;
         DWORD count = 0;
         const int32_t status = getCertificateDn(b.data(), length(b), 0, &name, &count);
         free(name);
         return status;
     }},
    {"timestamp", false,
     [](const std::vector<BYTE>& b) {
         FILETIME ft;
         return getCertificateTimestamp(b.data(), length(b), 1, &ft);
     }},
    {"version", false,
     [](const std::vector<BYTE>& b) {
         DWORD version = 0;
         return getCertificateVersion(b.data(), length(b), &version);
     }},
    {"serial", false,
     [](const std::vector<BYTE>& b) {
         CRYPT_INTEGER_BLOB blob;
         PCCERT_CONTEXT context = nullptr;
         const int32_t status = getCertificateSerialNumber(b.data(), length(b), &blob, &context);
         CertFreeCertificateContext(context);
         return status;
     }},
    {"key usage", true,
     [](const std::vector<BYTE>& b) {
         BYTE usage[2];
         return getCertificateKeyUsage(b.data(), length(b), usage);
     }},
};

TEST_F(Query, FrameCodesOfEveryQuery) {
    const struct {
        const char* what;
        bool stored, openFails, closeFails, noKeyUsage;
        int32_t code, keyUsageCode;
    } cases[] = {
        {"found", true, false, false, false, kSuccess, kSuccess},
        {"store does not open", true, true, false, false, kStoreNotOpened, kStoreNotOpened},
        {"absent", false, false, false, false, kCertificateNotInStore, kCertificateNotInStore},
        {"absent, close fails", false, false, true, false, kStoreNotClosed, kCertificateNotInStore},
        {"found, close fails", true, false, true, false, kStoreNotClosed, kStoreNotClosed},
        {"no key usage", true, false, false, true, kSuccess, kNoKeyUsage},
        {"no key usage, close fails", true, false, true, true, kStoreNotClosed, kNoKeyUsage},
    };
    for (const Service& s : kServices) {
        for (const auto& c : cases) {
            fake::reset();
            lastError = 3;
            fake::add(der(1));
            fake::add(der(2)).hasKeyUsage = !c.noKeyUsage;
            if (c.openFails) {
                fake::fail(fake::OpenStore);
            }
            if (c.closeFails) {
                fake::fail(fake::CloseStore);
            }
            const int32_t expected = s.keyUsage ? c.keyUsageCode : c.code;
            EXPECT_EQ(expected == 0 ? 0 : -1, s.call(der(c.stored ? 2 : 3))) << s.name << c.what;
            EXPECT_EQ(expected, code()) << s.name << ": " << c.what;
            EXPECT_EQ("", fake::unreleased()) << s.name << ": " << c.what;
        }
    }
}

// Whichever platform call or allocation fails, the query fails cleanly and gives back everything.
TEST_F(Query, EveryInjectedFailureReleasesEverything) {
    for (const Service& s : kServices) {
        for (bool allocation : {false, true}) {
            for (int n = 1;; ++n) {
                fake::reset();
                fake::add(der(1));
                fake::add(der(2));
                allocation ? fake::failAllocation(n) : fake::failCall(n);
                const int32_t status = s.call(der(2));
                EXPECT_EQ("", fake::unreleased()) << s.name << " call " << n;
                if (!fake::injected()) {
                    EXPECT_EQ(0, status) << s.name;
                    break;
                }
                EXPECT_EQ(-1, status) << s.name << " call " << n;
                EXPECT_NE(0, code()) << s.name << " call " << n;
            }
        }
    }
}

TEST_F(Query, NameCodesReleaseTheBufferAndHandBackNothing) {
    const struct {
        const char* what;
        fake::Op op;
        int n;
        bool allocation;
        int32_t code;
    } cases[] = {
        {"size call fails", fake::GetNameString, 1, false, kNameLengthNotRead},
        {"no memory", fake::OpCount, 0, true, kNoMemoryForName},
        {"second call fails", fake::GetNameString, 2, false, kNameNotRead},
        {"close fails after the name was read", fake::CloseStore, 1, false, kStoreNotClosed},
    };
    for (const auto& c : cases) {
        fake::reset();
        fake::add(der(1));
        c.allocation ? fake::failAllocation(1) : fake::fail(c.op, c.n);
        WCHAR sentinel[1];
        WCHAR* name = sentinel;
        DWORD count = 7;
        EXPECT_EQ(-1, getCertificateDn(der(1).data(), 3, CERT_NAME_ISSUER_FLAG, &name, &count));
        EXPECT_EQ(c.code, code()) << c.what;
        EXPECT_EQ(nullptr, name) << c.what;
        EXPECT_EQ(0u, count) << c.what;
        EXPECT_EQ("", fake::unreleased()) << c.what;
    }
}

TEST_F(Query, SuccessValues) {
    static BYTE serial[] = {0xFF, 0x00, 0x01};
    fake::add(der(1));
    fake::Certificate& c = fake::add(der(2, 40));
    c.name = u"CN=A";
    c.keyUsage[0] = 0x86;
    c.keyUsage[1] = 0x80;
    c.info.dwVersion = 2;
    c.info.NotBefore = {1, 2};
    c.info.NotAfter = {3, 4};
    c.info.SerialNumber = {sizeof serial, serial};
    const std::vector<BYTE> bytes = der(2, 40);
    const int32_t n = length(bytes);

    WCHAR* name = nullptr;
    DWORD count = 0;
    ASSERT_EQ(0, getCertificateDn(bytes.data(), n, 0, &name, &count));
    EXPECT_EQ(5u, count);
    EXPECT_EQ(std::u16string(u"CN=A", 5), std::u16string(name, count));
    free(name);

    FILETIME before{}, after{};
    EXPECT_EQ(0, getCertificateTimestamp(bytes.data(), n, 1, &before));
    EXPECT_EQ(0, getCertificateTimestamp(bytes.data(), n, 0, &after));
    EXPECT_EQ((std::vector<DWORD>{1, 2, 3, 4}),
              (std::vector<DWORD>{before.dwLowDateTime, before.dwHighDateTime, after.dwLowDateTime,
                                  after.dwHighDateTime}));

    DWORD version = 9;
    EXPECT_EQ(0, getCertificateVersion(bytes.data(), n, &version));
    EXPECT_EQ(2u, version);

    CRYPT_INTEGER_BLOB blob{};
    PCCERT_CONTEXT context = nullptr;
    ASSERT_EQ(0, getCertificateSerialNumber(bytes.data(), n, &blob, &context));
    EXPECT_EQ(serial, blob.pbData);  // the platform's own bytes, in its order
    EXPECT_EQ(3u, blob.cbData);
    EXPECT_EQ(" contexts=1", fake::unreleased());  // held until the caller has copied them
    CertFreeCertificateContext(context);

    BYTE usage[2] = {0, 0};
    EXPECT_EQ(0, getCertificateKeyUsage(bytes.data(), n, usage));
    EXPECT_EQ(0x86, usage[0]);
    EXPECT_EQ(0x80, usage[1]);
    EXPECT_EQ(kSuccess, code());
}

}  // namespace
