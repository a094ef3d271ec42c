// The DER prefix of a SHA-1 DigestInfo; the 20-byte hash follows. Signed with raw RSA PKCS#1 v1.5
// (CKM_RSA_PKCS), it gives the signature that SHA1withRSA verifies.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint8_t kSha1DigestInfoPrefix[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                                                    0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
inline constexpr size_t kSha1Length = 20;
