#include "cryptoapi/x500_name.h"

#include "cryptoapi/der.h"
#include "cryptoapi/text.h"

namespace {

constexpr uint8_t kVideotexString = 0x15;
constexpr uint8_t kGraphicString = 0x19;
constexpr uint8_t kGeneralString = 0x1B;
constexpr uint8_t kDirectoryName = 0xA4;
constexpr char16_t kReplacement = 0xFFFD;

struct KeyName {
    const char* oid;
    const char* name;
};

const KeyName kKeyNames[] = {
    {"2.5.4.3", "CN"},
    {"2.5.4.4", "SN"},
    {"2.5.4.5", "SERIALNUMBER"},
    {"2.5.4.6", "C"},
    {"2.5.4.7", "L"},
    {"2.5.4.8", "S"},
    {"2.5.4.9", "STREET"},
    {"2.5.4.10", "O"},
    {"2.5.4.11", "OU"},
    {"2.5.4.12", "T"},
    {"2.5.4.13", "Description"},
    {"2.5.4.17", "PostalCode"},
    {"2.5.4.18", "POBox"},
    {"2.5.4.20", "Phone"},
    {"2.5.4.24", "X21Address"},
    {"2.5.4.42", "G"},
    {"2.5.4.43", "I"},
    {"2.5.4.46", "dnQualifier"},
    {"1.2.840.113549.1.9.1", "E"},
    {"0.9.2342.19200300.100.1.25", "DC"},
};

void appendAscii(const char* text, std::u16string* out) {
    for (; *text != 0; ++text) {
        out->push_back(static_cast<char16_t>(static_cast<unsigned char>(*text)));
    }
}

void appendCodePoint(uint32_t c, std::u16string* out) {
    if (c >= 0x10000) {
        c -= 0x10000;
        out->push_back(static_cast<char16_t>(0xD800 | (c >> 10)));
        out->push_back(static_cast<char16_t>(0xDC00 | (c & 0x3FF)));
    } else {
        out->push_back(static_cast<char16_t>(c));
    }
}

void appendBytes(const uint8_t* p, size_t n, std::u16string* out) {
    for (size_t i = 0; i < n; ++i) {
        out->push_back(p[i]);
    }
}

// Appends UTF-8 decoded to UTF-16. Returns false when some sequence was ill-formed (and replaced).
bool decodeUtf8(const uint8_t* p, size_t n, std::u16string* out) {
    bool wellFormed = true;
    size_t i = 0;
    while (i < n) {
        const uint8_t lead = p[i++];
        if (lead < 0x80) {
            out->push_back(lead);
            continue;
        }
        size_t more = 0;
        uint32_t c = 0;
        uint8_t low = 0x80, high = 0xBF;  // the range of the second byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            more = 1;
            c = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            more = 2;
            c = lead & 0x0F;
            low = lead == 0xE0 ? 0xA0 : 0x80;   // no overlong forms
            high = lead == 0xED ? 0x9F : 0xBF;  // no surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            more = 3;
            c = lead & 0x07;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;  // nothing above U+10FFFF
        } else {
            out->push_back(kReplacement);
            wellFormed = false;
            continue;
        }
        bool complete = true;
        for (size_t k = 0; k < more; ++k, low = 0x80, high = 0xBF) {
            if (i >= n || p[i] < low || p[i] > high) {
                complete = false;  // the offending byte starts the next sequence
                break;
            }
            c = (c << 6) | (p[i++] & 0x3F);
        }
        if (complete) {
            appendCodePoint(c, out);
        } else {
            out->push_back(kReplacement);
            wellFormed = false;
        }
    }
    return wellFormed;
}

// The text of a string value; false when the value is to be written in hex instead.
bool stringText(const der::Element& value, std::u16string* text) {
    const uint8_t* p = value.content;
    const size_t n = value.contentLength;
    switch (value.tag) {
        case der::kPrintableString:
        case der::kIa5String:
        case der::kNumericString:
        case der::kVisibleString:
        case kVideotexString:
        case kGraphicString:
        case kGeneralString:
            appendBytes(p, n, text);
            return true;
        case der::kUtf8String:
            decodeUtf8(p, n, text);
            return true;
        case der::kTeletexString:
            if (!decodeUtf8(p, n, text)) {
                text->clear();
                appendBytes(p, n, text);
            }
            return true;
        case der::kBmpString:
            if (n % 2 != 0) {
                return false;
            }
            for (size_t i = 0; i < n; i += 2) {
                text->push_back(static_cast<char16_t>((p[i] << 8) | p[i + 1]));
            }
            return true;
        case der::kUniversalString:
            if (n % 4 != 0) {
                return false;
            }
            for (size_t i = 0; i < n; i += 4) {
                const uint32_t c = (uint32_t{p[i]} << 24) | (uint32_t{p[i + 1]} << 16) |
                                   (uint32_t{p[i + 2]} << 8) | p[i + 3];
                const bool carried = c < 0xD800 || (c > 0xDFFF && c <= 0x10FFFF);
                appendCodePoint(carried ? c : kReplacement, text);
            }
            return true;
        default:
            return false;
    }
}

bool isSpace(char16_t c) {
    return c == u' ' || (c >= 0x09 && c <= 0x0D);
}

bool needsQuotes(const std::u16string& text) {
    if (text.empty() || isSpace(text.front()) || isSpace(text.back())) {
        return true;
    }
    for (char16_t c : text) {
        switch (c) {
            case u',':
            case u'+':
            case u'=':
            case u'"':
            case u'\n':
            case u'<':
            case u'>':
            case u'#':
            case u';':
                return true;
            default:
                break;
        }
    }
    return false;
}

void appendValue(const der::Element& value, std::u16string* out) {
    std::u16string text;
    if (stringText(value, &text)) {
        if (!needsQuotes(text)) {
            *out += text;
            return;
        }
        out->push_back(u'"');
        for (char16_t c : text) {
            if (c == u'"') {
                out->push_back(u'"');
            }
            out->push_back(c);
        }
        out->push_back(u'"');
        return;
    }
    out->push_back(u'#');
    if (value.tag == der::kOctetString) {
        appendHex(value.content, value.contentLength, HexDigits::upper, out);
    } else {
        appendHex(value.header, value.totalLength, HexDigits::upper, out);
    }
}

bool appendAttribute(const der::Element& attribute, std::u16string* out) {
    der::Reader fields(attribute);
    der::Element type, value;
    std::string oid;
    if (!fields.next(&type, der::kOid) || !fields.next(&value) || !fields.empty() ||
        !der::oidToString(type.content, type.contentLength, &oid)) {
        return false;
    }
    const char* key = nullptr;
    for (const KeyName& k : kKeyNames) {
        if (oid == k.oid) {
            key = k.name;
        }
    }
    if (key == nullptr) {
        appendAscii("OID.", out);
        appendAscii(oid.c_str(), out);
    } else {
        appendAscii(key, out);
    }
    out->push_back(u'=');
    appendValue(value, out);
    return true;
}

bool appendName(const uint8_t* der, size_t length, std::u16string* out) {
    der::Reader whole(der, length);
    der::Element name;
    if (!whole.next(&name, der::kSequence) || !whole.empty()) {
        return false;
    }
    der::Reader rdns(name);
    for (bool firstRdn = true; !rdns.empty(); firstRdn = false) {
        der::Element rdn;
        if (!rdns.next(&rdn, der::kSet) || rdn.contentLength == 0) {
            return false;
        }
        if (!firstRdn) {
            appendAscii(", ", out);
        }
        der::Reader attributes(rdn);
        for (bool firstAttribute = true; !attributes.empty(); firstAttribute = false) {
            der::Element attribute;
            if (!attributes.next(&attribute, der::kSequence)) {
                return false;
            }
            if (!firstAttribute) {
                appendAscii(" + ", out);
            }
            if (!appendAttribute(attribute, out)) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace

bool renderX500Name(const uint8_t* der, size_t length, std::u16string* out) {
    out->clear();
    if (!appendName(der, length, out)) {
        out->clear();
        return false;
    }
    return true;
}

bool findDirectoryName(const uint8_t* generalNames, size_t length, const uint8_t** name,
                       size_t* nameLength) {
    der::Reader whole(generalNames, length);
    der::Element names;
    if (!whole.next(&names, der::kSequence) || !whole.empty()) {
        return false;
    }
    der::Reader items(names);
    der::Element item;
    while (items.next(&item)) {
        if (item.tag == kDirectoryName) {
            *name = item.content;
            *nameLength = item.contentLength;
            return true;
        }
    }
    return false;
}
