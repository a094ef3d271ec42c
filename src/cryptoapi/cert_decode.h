// X.509 certificates decoded into the platform's CERT_INFO, as the real interface decodes them.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "cryptoapi/cryptoapi.h"

// A decoded certificate and the storage that its CERT_INFO points into. Not copyable or movable:
// the pointers refer to its own members.
struct DecodedCertificate {
    DecodedCertificate() = default;
    DecodedCertificate(const DecodedCertificate&) = delete;
    DecodedCertificate& operator=(const DecodedCertificate&) = delete;

    std::vector<BYTE> encoded;
    CERT_INFO info{};
    std::vector<BYTE> serial;  // least significant byte first
    std::vector<CERT_EXTENSION> extensions;
    std::deque<std::string> oids;  // a deque keeps the addresses of the strings stable
};

// Decodes exactly `length` bytes of one certificate; null when they are not one.
std::unique_ptr<DecodedCertificate> decodeCertificate(const BYTE* data, size_t length);

// The extension of `info` with the dotted OID, or null.
const CERT_EXTENSION* findExtension(const CERT_INFO* info, const char* oid);

// Reads a UTCTime or GeneralizedTime element into a FILETIME as the platform reads it; false
// where the platform refuses it.
bool decodeTime(BYTE tag, const BYTE* text, size_t length, FILETIME* out);
