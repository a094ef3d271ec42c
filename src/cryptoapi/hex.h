// Hexadecimal text of bytes, two digits a byte, most significant digit first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum class HexDigits { lower, upper };

// Appends the hex of `length` bytes at `data` to `out`, in the case that `digits` names: key
// container names are lowercase, X.500 values uppercase.
inline void appendHex(const uint8_t* data, size_t length, HexDigits digits, std::u16string* out) {
    const char* table = digits == HexDigits::lower ? "0123456789abcdef" : "0123456789ABCDEF";
    for (size_t i = 0; i < length; ++i) {
        out->push_back(static_cast<char16_t>(table[data[i] >> 4]));
        out->push_back(static_cast<char16_t>(table[data[i] & 0x0F]));
    }
}
