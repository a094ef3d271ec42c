#include "cryptoapi/cert_decode.h"

#include <algorithm>
#include <cstring>

#include "cryptoapi/der.h"

namespace {

bool digits(const BYTE* text, size_t count, int* value) {
    *value = 0;
    for (size_t i = 0; i < count; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        *value = *value * 10 + (text[i] - '0');
    }
    return true;
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t daysFromCivil(int64_t year, int month, int day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

const char* keepOid(DecodedCertificate* cert, const der::Element& oid) {
    std::string text;
    if (!der::oidToString(oid.content, oid.contentLength, &text)) {
        return nullptr;
    }
    cert->oids.push_back(std::move(text));
    return cert->oids.back().c_str();
}

CRYPTOAPI_BLOB blobOf(const BYTE* data, size_t length) {
    return CRYPTOAPI_BLOB{static_cast<DWORD>(length), const_cast<BYTE*>(data)};
}

bool readAlgorithm(DecodedCertificate* cert, der::Reader* reader, CRYPT_ALGORITHM_IDENTIFIER* out) {
    der::Element sequence, oid;
    if (!reader->next(&sequence, der::kSequence)) {
        return false;
    }
    der::Reader inner(sequence);
    if (!inner.next(&oid, der::kOid) ||
        (out->pszObjId = const_cast<char*>(keepOid(cert, oid))) == nullptr) {
        return false;
    }
    der::Element parameters;
    if (!inner.empty()) {
        if (!inner.next(&parameters)) {
            return false;
        }
        out->Parameters = blobOf(parameters.header, parameters.totalLength);
    }
    return true;
}

bool readUniqueId(der::Reader* reader, BYTE tag, CRYPT_BIT_STRING_BLOB* out) {
    der::Element id;
    if (!reader->peek(tag) && !reader->peek(static_cast<BYTE>(tag | 0x20))) {
        return true;
    }
    if (!reader->next(&id) || id.contentLength == 0 || id.content[0] > 7) {
        return false;
    }
    *out = CRYPT_BIT_STRING_BLOB{static_cast<DWORD>(id.contentLength - 1),
                                 const_cast<BYTE*>(id.content + 1), id.content[0]};
    return true;
}

bool readExtensions(DecodedCertificate* cert, der::Reader* reader) {
    der::Element wrapper, list;
    if (!reader->peek(0xA3)) {
        return true;
    }
    if (!reader->next(&wrapper, 0xA3)) {
        return false;
    }
    der::Reader outer(wrapper);
    if (!outer.next(&list, der::kSequence) || !outer.empty()) {
        return false;
    }
    der::Reader items(list);
    while (!items.empty()) {
        der::Element extension, oid, field;
        if (!items.next(&extension, der::kSequence)) {
            return false;
        }
        der::Reader inner(extension);
        CERT_EXTENSION out{};
        if (!inner.next(&oid, der::kOid) ||
            (out.pszObjId = const_cast<char*>(keepOid(cert, oid))) == nullptr) {
            return false;
        }
        if (inner.peek(der::kBoolean)) {
            if (!inner.next(&field) || field.contentLength != 1) {
                return false;
            }
            out.fCritical = field.content[0] != 0;
        }
        if (!inner.next(&field, der::kOctetString) || !inner.empty()) {
            return false;
        }
        out.Value = blobOf(field.content, field.contentLength);
        cert->extensions.push_back(out);
    }
    return true;
}

bool readValidity(der::Reader* reader, CERT_INFO* info) {
    der::Element validity, notBefore, notAfter;
    if (!reader->next(&validity, der::kSequence)) {
        return false;
    }
    der::Reader inner(validity);
    return inner.next(&notBefore) && inner.next(&notAfter) &&
           decodeTime(notBefore.tag, notBefore.content, notBefore.contentLength,
                      &info->NotBefore) &&
           decodeTime(notAfter.tag, notAfter.content, notAfter.contentLength, &info->NotAfter);
}

bool decodeInto(DecodedCertificate* cert) {
    der::Reader whole(cert->encoded.data(), cert->encoded.size());
    der::Element certificate, tbs, element;
    if (!whole.next(&certificate, der::kSequence) || !whole.empty()) {
        return false;
    }
    der::Reader parts(certificate);
    if (!parts.next(&tbs, der::kSequence)) {
        return false;
    }
    der::Reader fields(tbs);
    CERT_INFO* info = &cert->info;
    if (fields.peek(0xA0)) {
        der::Element version;
        if (!fields.next(&element, 0xA0)) {
            return false;
        }
        // As the platform reads it: a signed INTEGER of up to four octets, however padded,
        // and nothing after it looked at.
        der::Reader inner(element);
        if (!inner.next(&version, der::kInteger) || version.contentLength > 4) {
            return false;
        }
        uint32_t value = version.contentLength > 0 && (version.content[0] & 0x80) ? UINT32_MAX : 0;
        for (size_t i = 0; i < version.contentLength; ++i) {
            value = (value << 8) | version.content[i];
        }
        info->dwVersion = value;
    }
    if (!fields.next(&element, der::kInteger) || element.contentLength == 0) {
        return false;
    }
    cert->serial.assign(element.content, element.content + element.contentLength);
    std::reverse(cert->serial.begin(), cert->serial.end());
    info->SerialNumber = blobOf(cert->serial.data(), cert->serial.size());
    if (!readAlgorithm(cert, &fields, &info->SignatureAlgorithm) ||
        !fields.next(&element, der::kSequence)) {
        return false;
    }
    info->Issuer = blobOf(element.header, element.totalLength);
    if (!readValidity(&fields, info) || !fields.next(&element, der::kSequence)) {
        return false;
    }
    info->Subject = blobOf(element.header, element.totalLength);
    der::Element spki, key;
    if (!fields.next(&spki, der::kSequence)) {
        return false;
    }
    der::Reader spkiFields(spki);
    if (!readAlgorithm(cert, &spkiFields, &info->SubjectPublicKeyInfo.Algorithm) ||
        !spkiFields.next(&key, der::kBitString) || key.contentLength == 0 || key.content[0] > 7) {
        return false;
    }
    info->SubjectPublicKeyInfo.PublicKey =
        CRYPT_BIT_STRING_BLOB{static_cast<DWORD>(key.contentLength - 1),
                              const_cast<BYTE*>(key.content + 1), key.content[0]};
    if (!readUniqueId(&fields, 0x81, &info->IssuerUniqueId) ||
        !readUniqueId(&fields, 0x82, &info->SubjectUniqueId) || !readExtensions(cert, &fields)) {
        return false;
    }
    info->cExtension = static_cast<DWORD>(cert->extensions.size());
    info->rgExtension = cert->extensions.empty() ? nullptr : cert->extensions.data();
    return true;
}

}  // namespace

bool decodeTime(BYTE tag, const BYTE* text, size_t length, FILETIME* out) {
    // The platform's grammar, laxer than DER: minutes and seconds may be short at the end, the
    // zone may be missing, and what follows the zone is not read.
    if ((tag != der::kUtcTime && tag != der::kGeneralizedTime) || length < 10) {
        return false;
    }
    size_t at = 0;
    const auto field = [&](size_t count, int* value) {
        const size_t available = std::min(count, length - at);
        const bool ok = digits(text + at, available, value);
        at += available;
        return ok;
    };
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    int64_t fraction = 0;  // in 100-ns units
    if (tag == der::kUtcTime) {
        if (!field(2, &year) || !field(2, &month) || !field(2, &day) || !field(2, &hour) ||
            !field(2, &minute)) {
            return false;
        }
        year += year < 50 ? 2000 : 1900;
        const bool digit = at < length && text[at] >= '0' && text[at] <= '9';
        const bool two = digit && at + 1 < length && text[at + 1] >= '0' && text[at + 1] <= '9';
        if (digit && !field(two ? 2 : 1, &second)) {
            return false;
        }
    } else {
        if (!field(4, &year) || !field(2, &month) || !field(2, &day) || !field(2, &hour) ||
            (at < length && !field(2, &minute)) || (at < length && !field(2, &second))) {
            return false;
        }
        if (at < length && (text[at] == '.' || text[at] == ',')) {
            ++at;
            int64_t scale = 1000000;
            for (; at < length && text[at] >= '0' && text[at] <= '9'; ++at) {
                fraction += (text[at] - '0') * scale;
                scale /= 10;
            }
        }
    }
    // The platform adds a +hhmm offset and subtracts a -hhmm one, the reverse of what X.680
    // means by them, and carries across hours and days.
    int64_t offsetMinutes = 0;
    if (length - at >= 3 && (text[at] == '+' || text[at] == '-')) {
        const int sign = text[at++] == '+' ? 1 : -1;
        int hours = 0, minutes = 0;
        if (!field(2, &hours) || (length - at >= 2 && !field(2, &minutes))) {
            return false;
        }
        offsetMinutes = sign * (hours * 60 + minutes);
    }
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (month < 1 || month > 12 || day < 1 ||
        day > kDays[month - 1] + (month == 2 && leap ? 1 : 0) || hour > 23 || minute > 59 ||
        second > 59) {
        return false;
    }
    const int64_t seconds = (daysFromCivil(year, month, day) + 134774) * 86400 + hour * 3600 +
                            (minute + offsetMinutes) * 60 + second;
    const int64_t ticks = seconds * 10000000 + fraction;
    if (ticks < 0) {
        return false;  // before 1601, which a FILETIME cannot hold: the platform refuses it too
    }
    const uint64_t value = static_cast<uint64_t>(ticks);
    out->dwLowDateTime = static_cast<DWORD>(value);
    out->dwHighDateTime = static_cast<DWORD>(value >> 32);
    return true;
}

std::unique_ptr<DecodedCertificate> decodeCertificate(const BYTE* data, size_t length) {
    auto cert = std::make_unique<DecodedCertificate>();
    cert->encoded.assign(data, data + length);
    if (!decodeInto(cert.get())) {
        return nullptr;
    }
    return cert;
}

const CERT_EXTENSION* findExtension(const CERT_INFO* info, const char* oid) {
    for (DWORD i = 0; i < info->cExtension; ++i) {
        if (strcmp(info->rgExtension[i].pszObjId, oid) == 0) {
            return &info->rgExtension[i];
        }
    }
    return nullptr;
}
