#include <gtest/gtest.h>

#include <vector>

#include "cryptoapi/cryptoapi.h"

namespace {

// The bytes of the BIT STRING, zero-filled to the buffer, when they fit in it; as the platform
// does, the unused bits are neither checked nor cleared.
TEST(IntendedKeyUsage, FirstBytesZeroFilled) {
    const struct {
        const char* what;
        std::vector<BYTE> value;  // the extension's value; empty for no extension
        DWORD size;
        BOOL result;
        std::vector<BYTE> usage;
    } cases[] = {
        {"absent", {}, 2, FALSE, {0, 0}},
        {"digitalSignature", {0x03, 0x02, 0x07, 0x80}, 2, TRUE, {0x80, 0}},
        {"keyAgreement, decipherOnly", {0x03, 0x03, 0x07, 0x08, 0x80}, 2, TRUE, {0x08, 0x80}},
        {"all nine, wider buffer", {0x03, 0x03, 0x07, 0xFF, 0x80}, 3, TRUE, {0xFF, 0x80, 0}},
        {"one byte asked", {0x03, 0x03, 0x07, 0x08, 0x80}, 1, FALSE, {0}},
        {"no bits", {0x03, 0x01, 0x00}, 2, TRUE, {0, 0}},
        {"not a BIT STRING", {0x04, 0x01, 0x80}, 2, FALSE, {0, 0}},
        {"eight unused bits", {0x03, 0x02, 0x08, 0x80}, 2, TRUE, {0x80, 0}},
        {"unused bits set", {0x03, 0x02, 0x07, 0xFF}, 2, TRUE, {0xFF, 0}},
        {"three bytes", {0x03, 0x04, 0x00, 0xFF, 0xFF, 0x01}, 2, FALSE, {0, 0}},
        {"truncated", {0x03, 0x03, 0x07, 0x80}, 2, FALSE, {0, 0}},
    };
    for (const auto& c : cases) {
        std::vector<BYTE> value = c.value;
        CERT_EXTENSION extensions[] = {{const_cast<char*>("2.5.29.19"), FALSE, {0, nullptr}},
                                       {const_cast<char*>("2.5.29.15"),
                                        TRUE,
                                        {static_cast<DWORD>(value.size()), value.data()}}};
        CERT_INFO info{};
        info.cExtension = c.value.empty() ? 1 : 2;
        info.rgExtension = extensions;
        std::vector<BYTE> usage(c.size, 0xEE);
        EXPECT_EQ(c.result, CertGetIntendedKeyUsage(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, &info,
                                                    usage.data(), c.size))
            << c.what;
        EXPECT_EQ(c.usage, usage) << c.what;
    }
}

}  // namespace
