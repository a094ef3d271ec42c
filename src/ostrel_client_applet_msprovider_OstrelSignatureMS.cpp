#include "error_register.h"

#include <cstdio>
#include <cstdlib>

#include "conversion.h"
#include "crypto.h"
#include "jni/ostrel_client_applet_msprovider_OstrelSignatureMS.h"

std::atomic<int32_t> lastError{0};

namespace {

// The elements of a byte[] argument for the length of one native call. The library never writes
// them, so they go back with JNI_ABORT and nothing is copied.
class ByteArrayElements {
  public:
    ByteArrayElements(JNIEnv* env, jbyteArray array) : env_(env), array_(array) {
        valid_ = jbyteArray2pbyte(env, array, &bytes_, &length_) == 0;
    }
    ~ByteArrayElements() {
        if (valid_) {
            env_->ReleaseByteArrayElements(array_, bytes_, JNI_ABORT);
        }
    }
    ByteArrayElements(const ByteArrayElements&) = delete;
    ByteArrayElements& operator=(const ByteArrayElements&) = delete;

    bool valid() const { return valid_; }
    const BYTE* bytes() const { return reinterpret_cast<const BYTE*>(bytes_); }
    int32_t length() const { return length_; }

  private:
    JNIEnv* env_;
    jbyteArray array_;
    jbyte* bytes_ = nullptr;
    jsize length_ = 0;
    bool valid_ = false;
};

jstring getCertificateDn(JNIEnv* env, jobject /*self*/, jboolean subject, jbyteArray certificate) {
    ByteArrayElements cert(env, certificate);
    if (!cert.valid()) {
        return nullptr;
    }
    WCHAR* name = nullptr;
    DWORD nameLength = 0;
    if (::getCertificateDn(cert.bytes(), cert.length(), subject ? 0 : CERT_NAME_ISSUER_FLAG, &name,
                           &nameLength) != 0) {
        return nullptr;
    }
    jstring result = nullptr;
    const int32_t status = wchar2jstring(env, name, nameLength, &result);
    free(name);
    return status == 0 ? result : nullptr;
}

jlong getCertificateTimestamp(JNIEnv* env, jobject /*self*/, jboolean notBefore,
                              jbyteArray certificate) {
    ByteArrayElements cert(env, certificate);
    if (!cert.valid()) {
        return -1;
    }
    FILETIME filetime;
    jlong millis = -1;
    if (::getCertificateTimestamp(cert.bytes(), cert.length(), notBefore ? 1 : 0, &filetime) != 0 ||
        filetime2jlong(env, filetime, &millis) != 0) {
        return -1;
    }
    return millis;
}

}  // namespace

JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM* /*vm*/, void* /*reserved*/) {
    return JNI_VERSION_1_6;
}

JNIEXPORT void JNICALL Java_ostrel_client_applet_msprovider_OstrelSignatureMS_hello(JNIEnv*,
                                                                                    jobject) {
    printf("OstrelSignatureMS native library, interface 0.2, at your service!\n");
}

JNIEXPORT jint JNICALL
Java_ostrel_client_applet_msprovider_OstrelSignatureMS_getMajorVersion(JNIEnv*, jobject) {
    return 0;
}

JNIEXPORT jint JNICALL
Java_ostrel_client_applet_msprovider_OstrelSignatureMS_getMinorVersion(JNIEnv*, jobject) {
    return 2;
}

JNIEXPORT jint JNICALL
Java_ostrel_client_applet_msprovider_OstrelSignatureMS_getLastErrorCode(JNIEnv*, jobject) {
    return lastError.load(std::memory_order_relaxed);
}

JNIEXPORT jobjectArray JNICALL
Java_ostrel_client_applet_msprovider_OstrelSignatureMS_getCertificatesInSystemStore(JNIEnv* env,
                                                                                    jobject,
                                                                                    jstring) {
    lastError.store(0, std::memory_order_relaxed);
    int32_t code = 0;
    CertificateListNode* head = getCertificatesInMyStore(&code);
    if (code != 0) {
        return nullptr;
    }
    jobjectArray result = certificateList2jobjectArray(env, head);
    freeCertificateList(head);
    return result;
}

JNIEXPORT jbyteArray JNICALL Java_ostrel_client_applet_msprovider_OstrelSignatureMS_firmar(
    JNIEnv* env, jobject, jbyteArray data, jbyteArray certificate) {
    ByteArrayElements dataBytes(env, data);
    if (!dataBytes.valid()) {
        return nullptr;
    }
    ByteArrayElements certBytes(env, certificate);
    if (!certBytes.valid()) {
        return nullptr;
    }
    BYTE* signature = nullptr;
    DWORD signatureLength = 0;
    if (sign(certBytes.bytes(), certBytes.length(), dataBytes.bytes(), dataBytes.length(),
             &signature, &signatureLength) != 0) {
        return nullptr;
    }
    jbyteArray result = nullptr;
    const int32_t status =
        pbyte2jbyteArray(env, signature, static_cast<int32_t>(signatureLength), &result);
    free(signature);
    return status == 0 ? result : nullptr;
}

JNIEXPORT jbyteArray JNICALL Java_ostrel_client_applet_msprovider_OstrelSignatureMS_digest(
    JNIEnv* env, jobject, jbyteArray data, jstring) {
    ByteArrayElements dataBytes(env, data);
    if (!dataBytes.valid()) {
        return nullptr;
    }
    BYTE* hash = nullptr;
    DWORD hashLength = 0;
    if (digest_sha1(dataBytes.bytes(), dataBytes.length(), &hash, &hashLength) != 0) {
        return nullptr;
    }
    jbyteArray result = nullptr;
    const int32_t status = pbyte2jbyteArray(env, hash, static_cast<int32_t>(hashLength), &result);
    free(hash);
    return status == 0 ? result : nullptr;
}

JNIEXPORT jstring JNICALL Java_ostrel_client_applet_msprovider_OstrelSignatureMS_getIssuerDN(
    JNIEnv* env, jobject self, jbyteArray certificate) {
    return getCertificateDn(env, self, JNI_FALSE, certificate);
}

JNIEXPORT jstring JNICALL Java_ostrel_client_applet_msprovider_OstrelSignatureMS_getSubjectDn(
    JNIEnv* env, jobject self, jbyteArray certificate) {
    return getCertificateDn(env, self, JNI_TRUE, certificate);
}

JNIEXPORT jint JNICALL Java_ostrel_client_applet_msprovider_OstrelSignatureMS_getCertificateVersion(
    JNIEnv* env, jobject, jbyteArray certificate) {
    ByteArrayElements cert(env, certificate);
    if (!cert.valid()) {
        return -1;
    }
    DWORD version = 0;
    if (getCertificateVersion(cert.bytes(), cert.length(), &version) != 0 || version > 2) {
        return -1;
    }
    return static_cast<jint>(version) + 1;
}

JNIEXPORT jlong JNICALL Java_ostrel_client_applet_msprovider_OstrelSignatureMS_getNotAfter(
    JNIEnv* env, jobject self, jbyteArray certificate) {
    return getCertificateTimestamp(env, self, JNI_FALSE, certificate);
}

JNIEXPORT jlong JNICALL Java_ostrel_client_applet_msprovider_OstrelSignatureMS_getNotBefore(
    JNIEnv* env, jobject self, jbyteArray certificate) {
    return getCertificateTimestamp(env, self, JNI_TRUE, certificate);
}

JNIEXPORT jbyteArray JNICALL Java_ostrel_client_applet_msprovider_OstrelSignatureMS_getSerialNumber(
    JNIEnv* env, jobject, jbyteArray certificate) {
    ByteArrayElements cert(env, certificate);
    if (!cert.valid()) {
        return nullptr;
    }
    CRYPT_INTEGER_BLOB blob;
    PCCERT_CONTEXT holder = nullptr;
    if (getCertificateSerialNumber(cert.bytes(), cert.length(), &blob, &holder) != 0) {
        return nullptr;
    }
    jbyteArray result = nullptr;
    const int32_t status = cryptintegerblob2jbyteArray(env, blob, &result);
    CertFreeCertificateContext(holder);
    return status == 0 ? result : nullptr;
}

JNIEXPORT jint JNICALL Java_ostrel_client_applet_msprovider_OstrelSignatureMS_getKeyUsage(
    JNIEnv* env, jobject, jbyteArray certificate) {
    ByteArrayElements cert(env, certificate);
    if (!cert.valid()) {
        return -1;
    }
    BYTE usage[2] = {0, 0};
    jint word = -1;
    if (getCertificateKeyUsage(cert.bytes(), cert.length(), usage) != 0 ||
        keyUsage2jint(env, usage, &word) != 0) {
        return -1;
    }
    return word;
}
