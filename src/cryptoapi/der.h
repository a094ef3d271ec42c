// A minimal reader of DER (and the definite-length BER that real certificates sometimes carry).
// It never reads outside the bytes it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace der {

struct Element {
    uint8_t tag = 0;                  // the identifier octet (low tag numbers only)
    const uint8_t* header = nullptr;  // start of the whole encoding
    const uint8_t* content = nullptr;
    size_t contentLength = 0;
    size_t totalLength = 0;  // header and content
};

// Reads consecutive elements from a span of bytes.
class Reader {
  public:
    Reader() = default;
    Reader(const uint8_t* data, size_t length) : data_(data), length_(length) {}
    explicit Reader(const Element& e) : data_(e.content), length_(e.contentLength) {}

    bool empty() const { return length_ == 0; }
    // The next element, which must have `tag` unless tag is 0; false on malformed input.
    bool next(Element* out, uint8_t tag = 0);
    // True when the next element has this tag.
    bool peek(uint8_t tag) const { return length_ > 0 && data_[0] == tag; }

  private:
    const uint8_t* data_ = nullptr;
    size_t length_ = 0;
};

constexpr uint8_t kBoolean = 0x01;
constexpr uint8_t kInteger = 0x02;
constexpr uint8_t kBitString = 0x03;
constexpr uint8_t kOctetString = 0x04;
constexpr uint8_t kOid = 0x06;
constexpr uint8_t kUtf8String = 0x0C;
constexpr uint8_t kNumericString = 0x12;
constexpr uint8_t kPrintableString = 0x13;
constexpr uint8_t kTeletexString = 0x14;
constexpr uint8_t kIa5String = 0x16;
constexpr uint8_t kUtcTime = 0x17;
constexpr uint8_t kGeneralizedTime = 0x18;
constexpr uint8_t kVisibleString = 0x1A;
constexpr uint8_t kUniversalString = 0x1C;
constexpr uint8_t kBmpString = 0x1E;
constexpr uint8_t kSequence = 0x30;
constexpr uint8_t kSet = 0x31;

// Dotted text of an OID's content bytes; false when they are malformed.
bool oidToString(const uint8_t* content, size_t length, std::string* out);

}  // namespace der
