#include "cryptoapi/der.h"

namespace der {

bool Reader::next(Element* out, uint8_t tag) {
    if (length_ < 2) {
        return false;
    }
    const uint8_t identifier = data_[0];
    if ((identifier & 0x1F) == 0x1F || (tag != 0 && identifier != tag)) {
        return false;
    }
    size_t offset = 2;
    size_t contentLength = data_[1];
    if (contentLength & 0x80) {
        const size_t octets = contentLength & 0x7F;
        if (octets == 0 || octets > sizeof(size_t) || length_ - 2 < octets) {
            return false;  // indefinite or oversized length
        }
        contentLength = 0;
        for (size_t i = 0; i < octets; ++i) {
            contentLength = (contentLength << 8) | data_[2 + i];
        }
        offset += octets;
    }
    if (contentLength > length_ - offset) {
        return false;
    }
    out->tag = identifier;
    out->header = data_;
    out->content = data_ + offset;
    out->contentLength = contentLength;
    out->totalLength = offset + contentLength;
    data_ += out->totalLength;
    length_ -= out->totalLength;
    return true;
}

bool oidToString(const uint8_t* content, size_t length, std::string* out) {
    out->clear();
    if (length == 0 || (content[length - 1] & 0x80)) {
        return false;
    }
    uint64_t value = 0;
    bool first = true;
    for (size_t i = 0; i < length; ++i) {
        if (value > (UINT64_MAX >> 7)) {
            return false;
        }
        value = (value << 7) | (content[i] & 0x7F);
        if (content[i] & 0x80) {
            continue;
        }
        if (first) {
            const uint64_t arc = value < 40 ? 0 : (value < 80 ? 1 : 2);
            out->append(std::to_string(arc)).append(".").append(std::to_string(value - 40 * arc));
            first = false;
        } else {
            out->append(".").append(std::to_string(value));
        }
        value = 0;
    }
    return true;
}

}  // namespace der
