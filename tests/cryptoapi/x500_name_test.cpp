#include "cryptoapi/x500_name.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cryptoapi/cryptoapi.h"

namespace {

// Names are written in hex; these build the TLVs around hex contents.
std::string tlv(const char* tag, const std::string& content) {
    const size_t n = content.size() / 2;
    char length[24];
    if (n < 0x80) {
        snprintf(length, sizeof length, "%02zX", n);
    } else if (n < 0x100) {
        snprintf(length, sizeof length, "81%02zX", n);
    } else {
        snprintf(length, sizeof length, "82%04zX", n);
    }
    return tag + std::string(length) + content;
}

std::string text(const char* tag, const std::string& bytes) {
    std::string hex;
    for (unsigned char c : bytes) {
        char two[3];
        snprintf(two, sizeof two, "%02X", c);
        hex += two;
    }
    return tlv(tag, hex);
}

std::string utf8(const std::string& s) {
    return text("0C", s);
}

std::string ava(const std::string& oid, const std::string& value) {
    return tlv("30", tlv("06", oid) + value);
}

std::string rdn(const std::string& avas) {
    return tlv("31", avas);
}

// A name of single-valued RDNs.
std::string name(const std::vector<std::string>& avas) {
    std::string rdns;
    for (const std::string& a : avas) {
        rdns += rdn(a);
    }
    return tlv("30", rdns);
}

const std::string CN = "550403", O = "55040A";

std::vector<BYTE> bytes(const std::string& hex) {
    std::vector<BYTE> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<BYTE>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

// The rendering, or "<undecodable>" when the renderer refuses the bytes.
std::u16string render(const std::string& hex) {
    const std::vector<BYTE> der = bytes(hex);
    std::u16string out = u"left over";
    if (!renderX500Name(der.data(), der.size(), &out)) {
        return out.empty() ? u"<undecodable>" : u"<undecodable, output left>";
    }
    return out;
}

struct Case {
    std::string der;
    std::u16string expected;
};

void check(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, render(c.der)) << c.der;
    }
}

TEST(X500Name, Names) {
    check({
        {name({ava("550406", text("13", "US")), ava("550408", utf8("Minnesota")),
               ava("550407", utf8("Minneapolis")), ava(O, utf8("Example Org")),
               ava("55040B", utf8("Dev Unit")), ava(CN, utf8("localhost")),
               ava("2A864886F70D010901", text("16", "admin@example.org"))}),
         u"C=US, S=Minnesota, L=Minneapolis, O=Example Org, OU=Dev Unit, CN=localhost, "
         u"E=admin@example.org"},
        {tlv("30", rdn(ava(CN, utf8("Ana")) + ava(O, utf8("Example")))), u"CN=Ana + O=Example"},
        {name({ava(CN, utf8(" 1 "))}), u"CN=\" 1 \""},
        {name({ava(CN, utf8("\"1\""))}), u"CN=\"\"\"1\"\"\""},
        {name({ava(CN, utf8("a,b"))}), u"CN=\"a,b\""},
        {name({ava(CN, utf8(""))}), u"CN=\"\""},
        {name({ava("55040F", utf8("Private Organization"))}), u"OID.2.5.4.15=Private Organization"},
        {"3000", u""},
        {tlv("30", rdn(ava(O, utf8("b")) + ava(CN, utf8("a")) + ava("550406", utf8("c"))) +
                       rdn(ava(CN, utf8("d")))),
         u"O=b + CN=a + C=c, CN=d"},
        {name({ava(CN, utf8(std::string(200, 'x')))}), u"CN=" + std::u16string(200, u'x')},
    });
}

// Each value as the only attribute of a name, with what follows "CN=".
TEST(X500Name, Values) {
    const std::vector<std::pair<std::string, std::u16string>> cases = {
        // Quoting: only for these reasons, and inner quotes doubled.
        {utf8("a\tb"), u"a\tb"},  // inside, only newline counts among the controls
        {utf8("a\rb"), u"a\rb"},
        {utf8("a\nb"), u"\"a\nb\""},
        {utf8("\ta"), u"\"\ta\""},
        {utf8("a\r"), u"\"a\r\""},
        {utf8("\x0B"
              "a"),
         u"\"\x0B"
         "a\""},
        {utf8("a\x0C"), u"\"a\x0C\""},
        {utf8("a "), u"\"a \""},
        {utf8("a b"), u"a b"},
        {utf8("\xE2\x80\x82"
              "a\xE2\x80\x82"),
         u"\u2002a\u2002"},
        {utf8("a+b"), u"\"a+b\""},
        {utf8("a=b"), u"\"a=b\""},
        {utf8("a<b>"), u"\"a<b>\""},
        {utf8("#1"), u"\"#1\""},
        {utf8("a;b"), u"\"a;b\""},
        {utf8("a\\b"), u"a\\b"},
        {utf8("say \"hi\""), u"\"say \"\"hi\"\"\""},
        {text("13", "Caf\xE9"), u"Caf\u00E9"},  // 8-bit types: a unit per byte
        {text("16", "a@b"), u"a@b"},
        {text("12", "12 34"), u"12 34"},
        {text("1A", "Visible"), u"Visible"},
        {text("14", "Jos\xC3\xA9"), u"Jos\u00E9"},  // Teletex holding UTF-8
        {text("14", "Jos\xE9"), u"Jos\u00E9"},      // and Latin-1
        {text("14", "\xC3\xA9\xFF"), u"\u00C3\u00A9\u00FF"},
        {tlv("1E", "004A00F665E5"), u"J\u00F6\u65E5"},
        {tlv("1E", "D83DDE00"), u"\U0001F600"},
        {utf8("\xF0\x9F\x98\x80 \xE6\x97\xA5"), u"\U0001F600 \u65E5"},
        {tlv("1C", "0001F60000000041"), u"\U0001F600A"},
        {tlv("1C", "00110000"), u"\uFFFD"},
        // Ill-formed UTF-8: one U+FFFD per maximal subpart, the rest kept.
        {utf8("a\xC3(b"), u"a\uFFFD(b"},
        {utf8("\xE2\x82"), u"\uFFFD"},
        {utf8("\xC0\xAF"), u"\uFFFD\uFFFD"},
        {utf8("\xE0\x80\x80"), u"\uFFFD\uFFFD\uFFFD"},
        {utf8("\xED\xA0\x80x"), u"\uFFFD\uFFFD\uFFFDx"},
        {utf8("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {utf8("\xF0\x9F\x98"), u"\uFFFD"},
        // Strings that cannot be read as their type go out in hex.
        {tlv("1E", "004100"), u"#1E03004100"},
        {tlv("1C", "000041"), u"#1C03000041"},
        // Values that are not strings.
        {"04023000", u"#3000"},
        {"040404023000", u"#04023000"},
        {"0400", u"#"},
        {"03020780", u"#03020780"},
        {"3003020101", u"#3003020101"},
        {"3100", u"#3100"},
        {"0603550403", u"#0603550403"},
        {"0101FF", u"#0101FF"},
        {"020100", u"#020100"},
        {"0500", u"#0500"},
        {"A003020101", u"#A003020101"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(u"CN=" + c.second, render(name({ava(CN, c.first)}))) << c.first;
    }
}

TEST(X500Name, AttributeNames) {
    const struct {
        const char* oid;
        std::u16string key;
    } cases[] = {
        {"550403", u"CN"},
        {"550404", u"SN"},
        {"550405", u"SERIALNUMBER"},
        {"550406", u"C"},
        {"550407", u"L"},
        {"550408", u"S"},
        {"550409", u"STREET"},
        {"55040A", u"O"},
        {"55040B", u"OU"},
        {"55040C", u"T"},
        {"55040D", u"Description"},
        {"550411", u"PostalCode"},
        {"550412", u"POBox"},
        {"550414", u"Phone"},
        {"550418", u"X21Address"},
        {"55042A", u"G"},
        {"55042B", u"I"},
        {"55042E", u"dnQualifier"},
        {"2A864886F70D010901", u"E"},
        {"0992268993F22C640119", u"DC"},
        {"00", u"OID.0.0"},
        {"55040E", u"OID.2.5.4.14"},
        {"2A864886F70D010902", u"OID.1.2.840.113549.1.9.2"},
        {"883703", u"OID.2.999.3"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.key + u"=x", render(name({ava(c.oid, utf8("x"))}))) << c.oid;
    }
}

TEST(X500Name, RefusesMalformedNames) {
    const std::string good = name({ava(CN, utf8("a"))});
    check({
        {"", u"<undecodable>"},
        {"3100", u"<undecodable>"},
        {"300000", u"<undecodable>"},  // trailing bytes
        {"3080", u"<undecodable>"},    // indefinite length
        {"3002", u"<undecodable>"},
        {"3084FFFFFFFF", u"<undecodable>"},
        {"30023100", u"<undecodable>"},  // an RDN without attributes
        {tlv("30", tlv("30", ava(CN, utf8("a")))), u"<undecodable>"},
        {tlv("30", rdn(utf8("a"))), u"<undecodable>"},
        {tlv("30", rdn(tlv("30", tlv("06", CN)))), u"<undecodable>"},
        {tlv("30", rdn(tlv("30", tlv("06", CN) + utf8("a") + utf8("b")))), u"<undecodable>"},
        {tlv("30", rdn(tlv("30", utf8("a") + tlv("06", CN)))), u"<undecodable>"},
        {name({ava("", utf8("a"))}), u"<undecodable>"},
        {name({ava(CN, utf8("a")), ava("8F", utf8("a"))}), u"<undecodable>"},
        {name({ava("8F", utf8("a"))}), u"<undecodable>"},
        {name({ava(CN, "1F0100")}), u"<undecodable>"},  // a high tag number
        {name({ava(CN, "0C05616263")}), u"<undecodable>"},
        {good + "00", u"<undecodable>"},
    });
}

// Every truncation is refused, and no change of one byte makes the renderer read outside the
// bytes (the sanitised build watches) or leave output behind a refusal.
TEST(X500Name, SurvivesTruncationAndCorruption) {
    const std::vector<BYTE> whole =
        bytes(tlv("30", rdn(ava(CN, utf8("\xF0\x9F\x98\x80")) + ava(O, tlv("1E", "0041"))) +
                            rdn(ava("550406", tlv("1C", "00000041"))) + rdn(ava("2B06", "040101")) +
                            rdn(ava(CN, text("14", "\xE9")))));
    std::u16string out;
    ASSERT_TRUE(renderX500Name(whole.data(), whole.size(), &out));
    for (size_t length = 0; length < whole.size(); ++length) {
        const std::vector<BYTE> part(whole.begin(), whole.begin() + length);
        EXPECT_FALSE(renderX500Name(part.data(), part.size(), &out)) << length;
    }
    for (size_t at = 0; at < whole.size(); ++at) {
        for (int value : {0x00, 0x7F, 0x80, 0x81, 0xFF, whole[at] ^ 0x01, whole[at] ^ 0x80}) {
            std::vector<BYTE> changed = whole;
            changed[at] = static_cast<BYTE>(value);
            if (!renderX500Name(changed.data(), changed.size(), &out)) {
                EXPECT_TRUE(out.empty()) << at;
            }
        }
    }
}

// CertGetNameStringW over a hand-made certificate: the name chosen, the fallback to the
// alternative names, and the buffer contract.
class NameString : public ::testing::Test {
  protected:
    void set(const std::string& subject, const std::string& issuer,
             const std::vector<std::pair<const char*, std::string>>& extensions = {}) {
        subject_ = bytes(subject);
        issuer_ = bytes(issuer);
        values_.clear();
        values_.reserve(extensions.size());  // the extensions point into these
        extensions_.clear();
        for (const auto& [oid, hex] : extensions) {
            const std::vector<BYTE>& v = values_.emplace_back(bytes(hex));
            extensions_.push_back({const_cast<char*>(oid),
                                   FALSE,
                                   {static_cast<DWORD>(v.size()), const_cast<BYTE*>(v.data())}});
        }
        info_ = CERT_INFO{};
        info_.Subject = {static_cast<DWORD>(subject_.size()), subject_.data()};
        info_.Issuer = {static_cast<DWORD>(issuer_.size()), issuer_.data()};
        info_.cExtension = static_cast<DWORD>(extensions_.size());
        info_.rgExtension = extensions_.data();
        context_.pCertInfo = &info_;
    }

    // The whole name through the size query and a fitting buffer; "<0>" when either gives 0.
    std::u16string get(DWORD flags) {
        DWORD type = CERT_X500_NAME_STR;
        const DWORD needed =
            CertGetNameStringW(&context_, CERT_NAME_RDN_TYPE, flags, &type, nullptr, 0);
        std::u16string out(needed + 1, u'?');
        const DWORD written =
            CertGetNameStringW(&context_, CERT_NAME_RDN_TYPE, flags, &type, out.data(), needed);
        if (needed == 0 || written != needed || out[needed - 1] != 0 || out[needed] != u'?') {
            return u"<0>";
        }
        out.resize(needed - 1);
        return out;
    }

    std::vector<BYTE> subject_, issuer_;
    std::vector<std::vector<BYTE>> values_;
    std::vector<CERT_EXTENSION> extensions_;
    CERT_INFO info_{};
    CERT_CONTEXT context_{};
};

TEST_F(NameString, SubjectOrIssuerWithAlternativeNameFallback) {
    const std::string empty = "3000", a = name({ava(CN, utf8("A"))}),
                      b = name({ava(CN, utf8("B"))});
    const std::string emailThenB = tlv("30", text("81", "x@y") + tlv("A4", b) + tlv("A4", a));
    const std::string emailOnly = tlv("30", text("81", "x@y"));
    const char *san = "2.5.29.17", *ian = "2.5.29.18";
    const struct {
        const char* what;
        std::string subject, issuer;
        std::vector<std::pair<const char*, std::string>> extensions;
        std::u16string subjectText, issuerText;
    } cases[] = {
        {"plain", a, b, {}, u"CN=A", u"CN=B"},
        {"names first", a, a, {{san, emailThenB}, {ian, emailThenB}}, u"CN=A", u"CN=A"},
        {"first directoryName", empty, empty, {{san, emailThenB}}, u"CN=B", u""},
        {"issuer's own extension", empty, empty, {{ian, emailThenB}}, u"", u"CN=B"},
        {"no directoryName", empty, empty, {{san, emailOnly}, {ian, emailOnly}}, u"", u""},
        {"malformed extension", empty, empty, {{san, "3003A400"}}, u"", u""},
        {"undecodable name, no fallback", "3001", a, {{san, emailThenB}}, u"", u"CN=A"},
        {"empty directoryName", empty, empty, {{san, tlv("30", tlv("A4", empty))}}, u"", u""},
    };
    for (const auto& c : cases) {
        set(c.subject, c.issuer, c.extensions);
        EXPECT_EQ(c.subjectText, get(0)) << c.what;
        EXPECT_EQ(c.issuerText, get(CERT_NAME_ISSUER_FLAG)) << c.what;
    }
}

TEST_F(NameString, WritesAtMostTheBufferAndAlwaysTerminates) {
    set(name({ava(CN, utf8("Signer"))}), "3000");
    DWORD type = CERT_X500_NAME_STR;
    const struct {
        DWORD size;
        DWORD result;
        std::u16string written;
    } cases[] = {
        {0, 10, u"??????????????"},  // a size query, the buffer untouched
        {1, 1, std::u16string(1, 0) + u"?????????????"},
        {4, 4, std::u16string(u"CN=\0??????????", 14)},
        {9, 9, std::u16string(u"CN=Signe\0?????", 14)},
        {10, 10, std::u16string(u"CN=Signer\0????", 14)},
        {13, 10, std::u16string(u"CN=Signer\0????", 14)},
    };
    for (const auto& c : cases) {
        std::u16string buffer(14, u'?');
        EXPECT_EQ(c.result, CertGetNameStringW(&context_, CERT_NAME_RDN_TYPE, 0, &type,
                                               buffer.data(), c.size))
            << c.size;
        EXPECT_EQ(c.written, buffer) << c.size;
    }
}

TEST_F(NameString, RefusesOtherRequests) {
    set(name({ava(CN, utf8("a"))}), "3000");
    DWORD x500 = CERT_X500_NAME_STR, simple = 1, reversed = CERT_X500_NAME_STR | 0x02000000;
    const struct {
        PCCERT_CONTEXT context;
        DWORD type, flags;
        DWORD* typePara;
    } cases[] = {
        {nullptr, CERT_NAME_RDN_TYPE, 0, &x500},       {&context_, 1, 0, &x500},
        {&context_, CERT_NAME_RDN_TYPE, 0, nullptr},   {&context_, CERT_NAME_RDN_TYPE, 0, &simple},
        {&context_, CERT_NAME_RDN_TYPE, 0, &reversed}, {&context_, CERT_NAME_RDN_TYPE, 2, &x500},
    };
    for (const auto& c : cases) {
        SetLastError(0);
        EXPECT_EQ(0u, CertGetNameStringW(c.context, c.type, c.flags, c.typePara, nullptr, 0));
        EXPECT_EQ(DWORD{ERROR_INVALID_PARAMETER}, GetLastError());
    }
}

}  // namespace
