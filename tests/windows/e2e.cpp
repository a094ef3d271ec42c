// End-to-end suite of the Windows DLL over the platform's own CryptoAPI, on the store that
// import.exe filled. It loads the DLL, finds the native methods by their export names and calls
// them through a JNIEnv of its own, whose objects are plain C++ values.
// Usage: e2e.exe DLL FIXTURES OUT   (OUT receives the signatures, for OpenSSL to verify)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fixture.h"
#include "jni/ostrel_client_applet_msprovider_OstrelSignatureMS.h"

namespace {

using fixture::Bytes;

// ---- A JNIEnv over C++ values. References stay valid until the program ends. ----

struct Object {
    enum Kind { ByteArray, String, ObjectArray, Class } kind;
    std::vector<jbyte> bytes;
    std::u16string chars;
    std::vector<jobject> elements;
};
std::vector<std::unique_ptr<Object>> heap;
int pinned = 0;  // element buffers handed out and not given back

jobject make(Object object) {
    heap.push_back(std::make_unique<Object>(std::move(object)));
    return reinterpret_cast<jobject>(heap.back().get());
}
Object* at(jobject ref) {
    return reinterpret_cast<Object*>(ref);
}

jsize JNICALL getArrayLength(JNIEnv*, jarray array) {
    Object* o = at(array);
    return static_cast<jsize>(o->kind == Object::ByteArray ? o->bytes.size() : o->elements.size());
}
jbyte* JNICALL getByteArrayElements(JNIEnv*, jbyteArray array, jboolean* isCopy) {
    if (isCopy != nullptr) {
        *isCopy = JNI_FALSE;
    }
    ++pinned;
    // Like a VM, a valid pointer even for an empty array.
    static jbyte empty;
    return at(array)->bytes.empty() ? &empty : at(array)->bytes.data();
}
void JNICALL releaseByteArrayElements(JNIEnv*, jbyteArray, jbyte*, jint) {
    --pinned;
}
void* JNICALL getPrimitiveArrayCritical(JNIEnv* env, jarray array, jboolean* isCopy) {
    return getByteArrayElements(env, static_cast<jbyteArray>(array), isCopy);
}
void JNICALL releasePrimitiveArrayCritical(JNIEnv*, jarray, void*, jint) {
    --pinned;
}
jbyteArray JNICALL newByteArray(JNIEnv*, jsize length) {
    return length < 0 ? nullptr
                      : static_cast<jbyteArray>(
                            make({Object::ByteArray, std::vector<jbyte>(length), {}, {}}));
}
void JNICALL setByteArrayRegion(JNIEnv*, jbyteArray array, jsize start, jsize length,
                                const jbyte* bytes) {
    memcpy(at(array)->bytes.data() + start, bytes, static_cast<size_t>(length));
}
jclass JNICALL getObjectClass(JNIEnv*, jobject) {
    return static_cast<jclass>(make({Object::Class, {}, {}, {}}));
}
jobjectArray JNICALL newObjectArray(JNIEnv*, jsize length, jclass, jobject initial) {
    return static_cast<jobjectArray>(
        make({Object::ObjectArray, {}, {}, std::vector<jobject>(length, initial)}));
}
void JNICALL setObjectArrayElement(JNIEnv*, jobjectArray array, jsize index, jobject value) {
    at(array)->elements.at(index) = value;
}
void JNICALL deleteLocalRef(JNIEnv*, jobject) {}
jstring JNICALL newString(JNIEnv*, const jchar* chars, jsize length) {
    return static_cast<jstring>(
        make({Object::String,
              {},
              std::u16string(reinterpret_cast<const char16_t*>(chars), length),
              {}}));
}

JNIEnv* makeEnv() {
    static JNINativeInterface_ table = {};
    table.GetArrayLength = getArrayLength;
    table.GetByteArrayElements = getByteArrayElements;
    table.ReleaseByteArrayElements = releaseByteArrayElements;
    table.GetPrimitiveArrayCritical = getPrimitiveArrayCritical;
    table.ReleasePrimitiveArrayCritical = releasePrimitiveArrayCritical;
    table.NewByteArray = newByteArray;
    table.SetByteArrayRegion = setByteArrayRegion;
    table.GetObjectClass = getObjectClass;
    table.NewObjectArray = newObjectArray;
    table.SetObjectArrayElement = setObjectArrayElement;
    table.DeleteLocalRef = deleteLocalRef;
    table.NewString = newString;
    static JNIEnv env;
    env.functions = &table;
    return &env;
}

jbyteArray array(const Bytes& bytes) {
    return static_cast<jbyteArray>(
        make({Object::ByteArray, std::vector<jbyte>(bytes.begin(), bytes.end()), {}, {}}));
}
Bytes bytes(jobject ref) {
    return ref == nullptr ? Bytes{} : Bytes(at(ref)->bytes.begin(), at(ref)->bytes.end());
}
std::u16string chars(jstring ref) {
    return at(ref)->chars;
}

// ---- The native methods, typed by the generated header and found by export name. ----

#define NATIVE(method) Java_ostrel_client_applet_msprovider_OstrelSignatureMS_##method
#define DECLARE(method) decltype(&NATIVE(method)) method = nullptr
struct Natives {
    DECLARE(hello);
    DECLARE(getCertificatesInSystemStore);
    DECLARE(firmar);
    DECLARE(digest);
    DECLARE(getLastErrorCode);
    DECLARE(getIssuerDN);
    DECLARE(getSubjectDn);
    DECLARE(getCertificateVersion);
    DECLARE(getNotAfter);
    DECLARE(getNotBefore);
    DECLARE(getSerialNumber);
    DECLARE(getMajorVersion);
    DECLARE(getMinorVersion);
    DECLARE(getKeyUsage);
    jint(JNICALL* onLoad)(JavaVM*, void*) = nullptr;
};

// The export NAME; on 32-bit Windows also NAME@ARGBYTES, which must be the same function.
template <typename F>
bool resolve(HMODULE dll, const std::string& name, int argumentBytes, F* slot) {
    FARPROC plain = GetProcAddress(dll, name.c_str());
    *slot = reinterpret_cast<F>(reinterpret_cast<void*>(plain));
    if (sizeof(void*) == 4) {
        const std::string decorated = name + "@" + std::to_string(argumentBytes);
        if (GetProcAddress(dll, decorated.c_str()) != plain) {
            printf("  %s does not resolve to %s\n", decorated.c_str(), name.c_str());
            return false;
        }
    }
    return plain != nullptr;
}

bool resolveAll(HMODULE dll, Natives& n) {
    const std::string p = "Java_ostrel_client_applet_msprovider_OstrelSignatureMS_";
    // Argument bytes: JNIEnv* and jobject, then 4 per Java argument.
    return resolve(dll, p + "hello", 8, &n.hello) &&
           resolve(dll, p + "getCertificatesInSystemStore", 12, &n.getCertificatesInSystemStore) &&
           resolve(dll, p + "firmar", 16, &n.firmar) && resolve(dll, p + "digest", 16, &n.digest) &&
           resolve(dll, p + "getLastErrorCode", 8, &n.getLastErrorCode) &&
           resolve(dll, p + "getIssuerDN", 12, &n.getIssuerDN) &&
           resolve(dll, p + "getSubjectDn", 12, &n.getSubjectDn) &&
           resolve(dll, p + "getCertificateVersion", 12, &n.getCertificateVersion) &&
           resolve(dll, p + "getNotAfter", 12, &n.getNotAfter) &&
           resolve(dll, p + "getNotBefore", 12, &n.getNotBefore) &&
           resolve(dll, p + "getSerialNumber", 12, &n.getSerialNumber) &&
           resolve(dll, p + "getMajorVersion", 8, &n.getMajorVersion) &&
           resolve(dll, p + "getMinorVersion", 8, &n.getMinorVersion) &&
           resolve(dll, p + "getKeyUsage", 12, &n.getKeyUsage) &&
           resolve(dll, "JNI_OnLoad", 8, &n.onLoad);
}

// ---- Cases: each runs its checks and counts once. ----

int passed = 0, failed = 0;
bool caseOk = true;

void check(bool ok, const char* what, int line) {
    if (!ok) {
        caseOk = false;
        printf("  line %d: %s\n", line, what);
    }
}
#define CHECK(condition) check(condition, #condition, __LINE__)

void run(const std::string& name, const std::function<void()>& body) {
    caseOk = true;
    body();
    CHECK(pinned == 0);  // every element buffer given back
    pinned = 0;
    (caseOk ? passed : failed)++;
    printf("%s %s\n", caseOk ? "ok  " : "FAIL", name.c_str());
}

std::string hex(const Bytes& bytes) {
    std::string out;
    char digits[3];
    for (unsigned char b : bytes) {
        snprintf(digits, sizeof digits, "%02x", b);
        out += digits;
    }
    return out;
}

// Non-ASCII as \uXXXX: the console would re-encode it through the code page.
std::string printable(const std::u16string& text) {
    std::string out;
    char escaped[8];
    for (char16_t c : text) {
        if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        }
    }
    return out;
}

// The platform's own rendering of a name of `der`, with its terminating 0.
std::u16string platformName(const Bytes& der, DWORD flags) {
    PCCERT_CONTEXT cert =
        CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    DWORD type = CERT_X500_NAME_STR;
    std::wstring name(CertGetNameStringW(cert, CERT_NAME_RDN_TYPE, flags, &type, nullptr, 0), 0);
    CertGetNameStringW(cert, CERT_NAME_RDN_TYPE, flags, &type, name.data(),
                       static_cast<DWORD>(name.size()));
    CertFreeCertificateContext(cert);
    return std::u16string(name.begin(), name.end());
}

// The encodings of the store's certificates that have key-provider information, in the
// platform's enumeration order.
std::vector<Bytes> enumerateWithKeys() {
    std::vector<Bytes> out;
    HCERTSTORE store =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"My");
    PCCERT_CONTEXT cert = nullptr;
    while ((cert = CertEnumCertificatesInStore(store, cert)) != nullptr) {
        DWORD size = 0;
        if (CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) {
            out.emplace_back(cert->pbCertEncoded, cert->pbCertEncoded + cert->cbCertEncoded);
        }
    }
    CertCloseStore(store, 0);
    return out;
}

// Whether the fixture's key signs under `keyType`; NTE_NO_KEY is the expected refusal.
bool keySigns(const fixture::Entry& entry, DWORD keyType, DWORD* error) {
    HCRYPTPROV prov = 0;
    HCRYPTHASH hash = 0;
    DWORD size = 0;
    bool ok = CryptAcquireContextW(&prov, fixture::container(entry).c_str(), MS_ENHANCED_PROV_W,
                                   PROV_RSA_FULL, 0) &&
              CryptCreateHash(prov, CALG_SHA1, 0, 0, &hash) &&
              CryptSignHashA(hash, keyType, nullptr, 0, nullptr, &size);
    *error = GetLastError();
    if (hash != 0) {
        CryptDestroyHash(hash);
    }
    if (prov != 0) {
        CryptReleaseContext(prov, 0);
    }
    return ok;
}

// What hello() writes to the process's standard output.
std::string captureHello(const Natives& n, JNIEnv* env, const std::string& path) {
    fflush(stdout);
    const int saved = _dup(1);
    const int file = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, 0600);
    _dup2(file, 1);
    n.hello(env, nullptr);
    fflush(stdout);
    _dup2(saved, 1);
    _close(file);
    _close(saved);
    const Bytes out = fixture::read(path);
    return std::string(out.begin(), out.end());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: e2e.exe DLL FIXTURES OUT\n");
        return 2;
    }
    const std::string dir = argv[2], out = argv[3];
    const std::string arch = sizeof(void*) == 8 ? "x86_64" : "i686";
    JNIEnv* env = makeEnv();
    const std::vector<fixture::Entry> entries = fixture::manifest(dir);
    auto der = [&](const fixture::Entry& e) { return fixture::read(dir + "\\" + e.name + ".der"); };
    const std::vector<std::string> data = {"data-0", "data-3", "data-100000"};
    const Bytes unknown = {0x30, 0x03, 0x02, 0x01, 0x01};

    Natives n;
    HMODULE dll = LoadLibraryA(argv[1]);
    run("load the DLL and resolve its fourteen methods and JNI_OnLoad", [&] {
        CHECK(dll != nullptr);
        CHECK(dll != nullptr && resolveAll(dll, n));
    });
    if (failed != 0) {
        printf("%s: %d passed, %d failed\n", arch.c_str(), passed, failed);
        return 1;
    }

    run("fresh register, version 0.2, JNI_OnLoad, hello banner", [&] {
        CHECK(n.getLastErrorCode(env, nullptr) == 0);
        CHECK(n.getMajorVersion(env, nullptr) == 0 && n.getMinorVersion(env, nullptr) == 2);
        CHECK(n.onLoad(nullptr, nullptr) == JNI_VERSION_1_6);
        const std::string banner = captureHello(n, env, out + "\\hello-" + arch + ".txt");
        CHECK(banner.size() > 2 && banner.find('\n') == banner.size() - 1);
        CHECK(banner.find("!") == banner.find_last_not_of("\r\n"));
        CHECK(n.getLastErrorCode(env, nullptr) == 0);
    });

    run("listing: the certificates with a key, last enumerated first", [&] {
        std::vector<Bytes> expected = enumerateWithKeys();
        std::vector<Bytes> keyed;
        for (const fixture::Entry& e : entries) {
            if (e.key == "kx" || e.key == "sig") {
                keyed.push_back(der(e));
            }
        }
        CHECK(expected.size() == keyed.size());
        for (const Bytes& k : keyed) {
            CHECK(std::find(expected.begin(), expected.end(), k) != expected.end());
        }
        std::vector<Bytes> listed;
        jobjectArray list = n.getCertificatesInSystemStore(env, nullptr, nullptr);
        CHECK(list != nullptr);
        for (jobject element : list == nullptr ? std::vector<jobject>{} : at(list)->elements) {
            listed.push_back(bytes(element));
        }
        CHECK(listed == std::vector<Bytes>(expected.rbegin(), expected.rend()));
        CHECK(n.getLastErrorCode(env, nullptr) == 0);
    });

    for (const fixture::Entry& e : entries) {
        if (e.key != "kx" && e.key != "sig") {
            continue;
        }
        run("sign with " + e.name + " (" + e.key + "): OpenSSL's signature", [&] {
            // The signature-only key must refuse AT_KEYEXCHANGE, or the fallback goes untested.
            DWORD error = 0;
            CHECK(keySigns(e, e.key == "sig" ? AT_SIGNATURE : AT_KEYEXCHANGE, &error));
            if (e.key == "sig") {
                CHECK(!keySigns(e, AT_KEYEXCHANGE, &error) &&
                      error == static_cast<DWORD>(NTE_NO_KEY));
            }
            for (const std::string& d : data) {
                const Bytes signature = bytes(
                    n.firmar(env, nullptr, array(fixture::read(dir + "\\" + d)), array(der(e))));
                CHECK(signature == fixture::read(dir + "\\" + e.name + "." + d + ".sig"));
                CHECK(n.getLastErrorCode(env, nullptr) == 0);
                FILE* file = fopen((out + "\\" + e.name + "." + d + ".sig").c_str(), "wb");
                fwrite(signature.data(), 1, signature.size(), file);
                fclose(file);
            }
        });
    }

    run("digest: OpenSSL's SHA-1, whatever the algorithm name", [&] {
        for (const std::string& d : data) {
            jstring algorithm = newString(env, reinterpret_cast<const jchar*>(u"MD5"), 3);
            CHECK(bytes(n.digest(env, nullptr, array(fixture::read(dir + "\\" + d)), algorithm)) ==
                  fixture::read(dir + "\\" + d + ".sha1"));
            CHECK(n.getLastErrorCode(env, nullptr) == 0);
        }
    });

    for (const fixture::Entry& e : entries) {
        if (e.key == "refused") {
            continue;
        }
        run("attributes of " + e.name, [&] {
            jbyteArray cert = array(der(e));
            const std::u16string subject = chars(n.getSubjectDn(env, nullptr, cert));
            const std::u16string issuer = chars(n.getIssuerDN(env, nullptr, cert));
            CHECK(n.getLastErrorCode(env, nullptr) == 0);
            // The platform's string, passed through with its terminating U+0000.
            CHECK(subject == platformName(der(e), 0));
            CHECK(issuer == platformName(der(e), CERT_NAME_ISSUER_FLAG));
            CHECK(!subject.empty() && subject.back() == 0 &&
                  subject.find(u'\0') == subject.size() - 1);
            if (e.subject != "*") {
                const std::wstring s = fixture::wide(e.subject), i = fixture::wide(e.issuer);
                CHECK(subject == std::u16string(s.begin(), s.end()) + u'\0');
                CHECK(issuer == std::u16string(i.begin(), i.end()) + u'\0');
            } else {
                printf("  subject as the platform renders it: %s\n", printable(subject).c_str());
            }
            CHECK(n.getCertificateVersion(env, nullptr, cert) == e.version);
            CHECK(n.getNotBefore(env, nullptr, cert) == e.notBefore);
            CHECK(n.getNotAfter(env, nullptr, cert) == e.notAfter);
            CHECK(hex(bytes(n.getSerialNumber(env, nullptr, cert))) == e.serial);
            CHECK(n.getLastErrorCode(env, nullptr) == 0);
            CHECK(n.getKeyUsage(env, nullptr, cert) == e.keyUsage);
            CHECK(n.getLastErrorCode(env, nullptr) == (e.keyUsage == -1 ? 19 : 0));
        });
    }

    run("unknown certificate: every query fails with code 8; null arrays leave the code", [&] {
        jbyteArray cert = array(unknown);
        CHECK(n.firmar(env, nullptr, array({1}), cert) == nullptr);
        CHECK(n.getLastErrorCode(env, nullptr) == 8);
        n.getCertificatesInSystemStore(env, nullptr, nullptr);
        CHECK(n.getLastErrorCode(env, nullptr) == 0);
        CHECK(n.getSubjectDn(env, nullptr, cert) == nullptr &&
              n.getIssuerDN(env, nullptr, cert) == nullptr);
        CHECK(n.getSerialNumber(env, nullptr, cert) == nullptr);
        CHECK(n.getCertificateVersion(env, nullptr, cert) == -1 &&
              n.getKeyUsage(env, nullptr, cert) == -1);
        CHECK(n.getNotBefore(env, nullptr, cert) == -1 && n.getNotAfter(env, nullptr, cert) == -1);
        CHECK(n.getLastErrorCode(env, nullptr) == 8);
        CHECK(n.firmar(env, nullptr, nullptr, array(der(entries.front()))) == nullptr);
        CHECK(n.digest(env, nullptr, nullptr, nullptr) == nullptr);
        CHECK(n.getSubjectDn(env, nullptr, nullptr) == nullptr);
        CHECK(n.getLastErrorCode(env, nullptr) == 8);
    });

    run("certificates the platform refuses: unknown to every query, code 8", [&] {
        for (const fixture::Entry& e : entries) {
            if (e.key == "refused") {
                jbyteArray cert = array(der(e));
                CHECK(n.getSubjectDn(env, nullptr, cert) == nullptr);
                CHECK(n.getCertificateVersion(env, nullptr, cert) == -1);
                CHECK(n.getNotBefore(env, nullptr, cert) == -1);
                CHECK(n.getSerialNumber(env, nullptr, cert) == nullptr);
                CHECK(n.firmar(env, nullptr, array({1}), cert) == nullptr);
                CHECK(n.getLastErrorCode(env, nullptr) == 8);
            }
        }
    });

    run("certificates without a key: signing fails with code 14", [&] {
        for (const fixture::Entry& e : entries) {
            if (e.key == "none") {
                CHECK(n.firmar(env, nullptr, array({1, 2, 3}), array(der(e))) == nullptr);
                CHECK(n.getLastErrorCode(env, nullptr) == 14);
            }
        }
    });

    FreeLibrary(dll);
    printf("%s: %d passed, %d failed\n", arch.c_str(), passed, failed);
    return failed == 0 ? 0 : 1;
}
