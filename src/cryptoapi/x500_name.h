// Distinguished names rendered as Windows renders CERT_X500_NAME_STR: RDNs in encoding order
// joined by ", ", the attributes of one RDN joined by " + ", each as KEY=value. Works on DER bytes
// alone and never reads outside them, whatever they hold.
//
// Values, as Windows writes them:
// - PrintableString, IA5String, NumericString, VisibleString, and the other 8-bit types
//   (VideotexString, GraphicString, GeneralString): one unit per byte.
// - UTF8String: decoded; each ill-formed sequence (the maximal subpart of a sequence, as
//   Unicode recommends) becomes one U+FFFD. TeletexString: read as UTF-8 when it is well-formed
//   UTF-8, else one unit per byte (Latin-1).
// - BMPString: big-endian units as they are. UniversalString: UCS-4 to UTF-16, a code point that
//   UTF-16 cannot carry becoming U+FFFD. A BMPString of odd length or a UniversalString whose
//   length is not a multiple of 4 is written as a value that is not a string (below).
// - Any other value: "#" and the uppercase hex of its whole encoding; an OCTET STRING gives the
//   hex of its contents. Such values are never quoted.
// - A string value is quoted ("...", inner quotes doubled) when it is empty, begins or ends with
//   a space or a character 0x09-0x0D, or holds one of , + = " newline < > # ;
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Renders the DER Name (SEQUENCE OF RDN) that occupies exactly `length` bytes into `*out`. An
// empty name renders as "". Returns false, with `*out` empty, when the bytes are not such a name:
// a wrong tag, a bad length, trailing bytes, an empty RDN, an attribute that is not a SEQUENCE of
// an OID and one value, or an OID that does not decode. May throw std::bad_alloc.
bool renderX500Name(const uint8_t* der, size_t length, std::u16string* out);

// Finds the first directoryName ([4] EXPLICIT Name) in the DER GeneralNames that occupies exactly
// `length` bytes (the value of a subject or issuer alternative name extension). Returns true and
// points `*name`, `*nameLength` at that Name's encoding, inside the given bytes; false when there
// is none or the GeneralNames are malformed before one is reached.
bool findDirectoryName(const uint8_t* generalNames, size_t length, const uint8_t** name,
                       size_t* nameLength);
