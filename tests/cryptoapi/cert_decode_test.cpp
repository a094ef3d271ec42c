#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
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
    const uint64_t kSecond = 10000000;
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
        {der::kGeneralizedTime, "15000101000000Z", false, 0},
        {der::kGeneralizedTime, "16010101003000+0100", true, 5400 * kSecond},
        {der::kGeneralizedTime, "16010101003000-0100", false, 0},
        {der::kGeneralizedTime, "19701301000000Z", false, 0},
        {der::kOctetString, "700101000000Z", false, 0},
        // The platform's grammar: no zone, short fields at the end, nothing read after the zone.
        {der::kUtcTime, "700101000000", true, epoch},
        {der::kUtcTime, "7001010000Z0", true, epoch},
        {der::kUtcTime, "7001010000", true, epoch},
        {der::kUtcTime, "70010100001Z", true, epoch + 10000000},
        {der::kUtcTime, "700101000001.9Z", true, epoch + 10000000},
        {der::kGeneralizedTime, "1970010101", true, epoch + 3600 * kSecond},
        {der::kGeneralizedTime, "19700101000", true, epoch},  // a minute of one digit
        {der::kGeneralizedTime, "197001010000Z", false, 0},
        {der::kUtcTime, "700101000", false, 0},
        {der::kUtcTime, "70010100a0Z", false, 0},
        // Offsets, added or subtracted as the platform does, carried across hours and days.
        {der::kUtcTime, "700101000000+0130", true, epoch + 5400 * kSecond},
        {der::kUtcTime, "700102000000-0130", true, epoch + (86400 - 5400) * kSecond},
        {der::kUtcTime, "700101000000+01", true, epoch + 3600 * kSecond},
        {der::kUtcTime, "700101000000+0", true, epoch},  // too short to be a zone
        {der::kUtcTime, "691231233000+0100", true, epoch + 1800 * kSecond},
        {der::kGeneralizedTime, "19700110000000-9999", true,
         epoch + (9 * 86400 - 99 * 3600 - 99 * 60) * kSecond},
        {der::kGeneralizedTime, "19700101000000.250+0001", true, epoch + 60 * kSecond + 2500000},
        {der::kUtcTime, "700101000000+0x00", false, 0},
        // What the platform's calendar does not hold.
        {der::kUtcTime, "700230000000Z", false, 0},
        {der::kUtcTime, "700101000060Z", false, 0},
        {der::kUtcTime, "700101240000Z", false, 0},
        {der::kGeneralizedTime, "20000229000000Z", true, epoch + UINT64_C(11016) * 86400 * kSecond},
        {der::kGeneralizedTime, "19000229000000Z", false, 0},
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

// Odd encodings that NSS stores (tests/fixtures/odd-certs.py), each decoded to what the
// platform reads in it, or refused where the platform refuses it.
TEST(DecodeCertificate, OddEncodingsAsThePlatformReadsThem) {
    std::ifstream manifest("fixture/files/odd/odd-manifest");
    std::string line;
    int count = 0;
    while (std::getline(manifest, line)) {
        std::vector<std::string> f;
        std::istringstream fields(line);
        for (std::string field; std::getline(fields, field, '|');) {
            f.push_back(field);
        }
        ASSERT_EQ(9u, f.size()) << line;
        ++count;
        const std::vector<BYTE> bytes = fixtureFile("odd/" + f[0] + ".der");
        ASSERT_FALSE(bytes.empty()) << f[0];
        auto cert = decodeCertificate(bytes.data(), bytes.size());
        if (f[1] == "refused") {
            EXPECT_EQ(nullptr, cert) << f[0];
            continue;
        }
        ASSERT_NE(nullptr, cert) << f[0];
        const auto millis = [](const FILETIME& ft) {
            return static_cast<int64_t>(ticks(ft) / 10000) - INT64_C(11644473600000);
        };
        EXPECT_EQ(std::stoi(f[2]), static_cast<int>(cert->info.dwVersion) + 1) << f[0];
        std::string serial;
        for (DWORD i = 0; i < cert->info.SerialNumber.cbData; ++i) {
            static const char kHex[] = "0123456789abcdef";
            serial += kHex[cert->info.SerialNumber.pbData[i] >> 4];
            serial += kHex[cert->info.SerialNumber.pbData[i] & 0xF];
        }
        EXPECT_EQ(f[4], serial) << f[0];
        EXPECT_EQ(std::stoll(f[5]), millis(cert->info.NotBefore)) << f[0];
        EXPECT_EQ(std::stoll(f[6]), millis(cert->info.NotAfter)) << f[0];
        BYTE usage[2] = {0, 0};
        long word = -1;
        if (CertGetIntendedKeyUsage(X509_ASN_ENCODING, &cert->info, usage, sizeof usage)) {
            word = 0;
            for (int i = 0; i < 9; ++i) {
                word |= (usage[i / 8] & (0x80 >> i % 8)) ? 1L << i : 0;
            }
        }
        EXPECT_EQ(std::stol(f[3]), word) << f[0];
    }
    EXPECT_GE(count, 10);
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
