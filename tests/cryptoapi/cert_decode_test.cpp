#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "cryptoapi/cert_decode.h"
#include "cryptoapi/der.h"

namespace {

std::vector<BYTE> fixtureFile(const std::string& name) {
    std::ifstream in("fixture/files/" + name, std::ios::binary);
    return std::vector<BYTE>(std::istreambuf_iterator<char>(in), {});
}

uint64_t ticks(const FILETIME& ft) {
    return (uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
}

TEST(DecodeTime, UtcAndGeneralizedTime) {
    const uint64_t epoch = UINT64_C(116444736000000000);
    const struct {
        BYTE tag;
        const char* text;
        bool ok;
        uint64_t ticks;
    } cases[] = {
        {der::kUtcTime, "700101000000Z", true, epoch},
        {der::kUtcTime, "491231235959Z", true, 0},  // checked against 2050 below
        {der::kUtcTime, "500101000000Z", true, epoch - UINT64_C(7305) * 864000000000},
        {der::kGeneralizedTime, "19700101000001Z", true, epoch + 10000000},
        {der::kGeneralizedTime, "19700101000000.5Z", true, epoch + 5000000},
        {der::kGeneralizedTime, "16010101000000Z", true, 0},
        {der::kGeneralizedTime, "15000101000000Z", true, 0},
        {der::kUtcTime, "700101000000", false, 0},
        {der::kUtcTime, "7001010000Z0", false, 0},
        {der::kGeneralizedTime, "19701301000000Z", false, 0},
        {der::kOctetString, "700101000000Z", false, 0},
    };
    for (const auto& c : cases) {
        FILETIME ft{1, 1};
        const bool ok =
            decodeTime(c.tag, reinterpret_cast<const BYTE*>(c.text), strlen(c.text), &ft);
        EXPECT_EQ(c.ok, ok) << c.text;
        if (ok && strcmp(c.text, "491231235959Z") != 0) {
            EXPECT_EQ(c.ticks, ticks(ft)) << c.text;
        }
    }
    FILETIME y2049, y2050;
    decodeTime(der::kUtcTime, reinterpret_cast<const BYTE*>("491231235959Z"), 13, &y2049);
    decodeTime(der::kGeneralizedTime, reinterpret_cast<const BYTE*>("20500101000000Z"), 15, &y2050);
    EXPECT_EQ(ticks(y2050) - 10000000, ticks(y2049));
}

TEST(DecodeCertificate, FixtureCertificates) {
    const struct {
        const char* file;
        DWORD version;
        std::vector<BYTE> serial;
        bool keyUsage;
    } cases[] = {{"signer.der", 2, {0x01, 0x10}, true},
                 {"v1.der", 0, {0x07, 0x10}, false},
                 {"twin-a.der", 2, {0x03, 0x10}, false}};
    for (const auto& c : cases) {
        const std::vector<BYTE> bytes = fixtureFile(c.file);
        ASSERT_FALSE(bytes.empty()) << c.file;
        auto cert = decodeCertificate(bytes.data(), bytes.size());
        ASSERT_NE(nullptr, cert) << c.file;
        EXPECT_EQ(c.version, cert->info.dwVersion) << c.file;
        EXPECT_EQ(c.serial, std::vector<BYTE>(
                                cert->info.SerialNumber.pbData,
                                cert->info.SerialNumber.pbData + cert->info.SerialNumber.cbData))
            << c.file;
        EXPECT_EQ(c.keyUsage, findExtension(&cert->info, "2.5.29.15") != nullptr) << c.file;
        EXPECT_LT(ticks(cert->info.NotBefore), ticks(cert->info.NotAfter)) << c.file;
        EXPECT_STREQ("1.2.840.113549.1.1.1", cert->info.SubjectPublicKeyInfo.Algorithm.pszObjId);
    }
}

TEST(DecodeCertificate, RejectsEveryTruncationAndTrailingBytes) {
    std::vector<BYTE> bytes = fixtureFile("signer.der");
    ASSERT_FALSE(bytes.empty());
    for (size_t length = 0; length < bytes.size(); ++length) {
        EXPECT_EQ(nullptr, decodeCertificate(bytes.data(), length)) << length;
    }
    bytes.push_back(0);
    EXPECT_EQ(nullptr, decodeCertificate(bytes.data(), bytes.size()));
}

}  // namespace
