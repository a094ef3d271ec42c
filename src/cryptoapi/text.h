// Text helpers shared by every part: hexadecimal both ways, UTF-16 narrowed a byte per unit, and
// UTF-16 to UTF-8. Free of the platform's headers, so that the services can use them on Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

enum class HexDigits { lower, upper };

// Appends the hex of `length` bytes at `data`, two digits a byte, most significant digit first, to
// a string of char or char16_t: key container names are lowercase, X.500 values uppercase.
template <typename String>
void appendHex(const uint8_t* data, size_t length, HexDigits digits, String* out) {
    const char* table = digits == HexDigits::lower ? "0123456789abcdef" : "0123456789ABCDEF";
    for (size_t i = 0; i < length; ++i) {
        out->push_back(static_cast<typename String::value_type>(table[data[i] >> 4]));
        out->push_back(static_cast<typename String::value_type>(table[data[i] & 0x0F]));
    }
}

// The value of one hex digit of either case, or -1 for any other character.
constexpr int hexDigitValue(char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
}

// Decodes hex digits of either case into `*out` (replaced). False, with `*out` unspecified, when
// the text has an odd length or a character that is not a hex digit.
bool decodeHex(std::string_view text, std::string* out);

// Narrows `count` units to one byte each, the unit's low byte, into `out`: no code page, as the
// platform's ANSI names of containers and providers are formed from their UTF-16 ones. `Unit` is
// char16_t, or Windows' 16-bit wchar_t.
template <typename Unit>
void narrowUtf16(const Unit* units, size_t count, char* out) {
    for (size_t i = 0; i < count; ++i) {
        out[i] = static_cast<char>(units[i] & 0xFF);
    }
}

// UTF-16 as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf16ToUtf8(std::u16string_view text);
