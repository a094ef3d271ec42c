// Starts a JVM that runs SignBench with its bareSign method implemented here: PK11_Sign on the
// key of a certificate, looked up once, in the NSS instance that the library started.
#include <cert.h>
#include <jni.h>
#include <keyhi.h>
#include <pk11pub.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

jlongArray JNICALL bareSign(JNIEnv* env, jclass, jbyteArray certificate, jbyteArray digestInfo,
                            jint count) {
    std::vector<unsigned char> der(static_cast<size_t>(env->GetArrayLength(certificate)));
    env->GetByteArrayRegion(certificate, 0, static_cast<jsize>(der.size()),
                            reinterpret_cast<jbyte*>(der.data()));
    std::vector<unsigned char> input(static_cast<size_t>(env->GetArrayLength(digestInfo)));
    env->GetByteArrayRegion(digestInfo, 0, static_cast<jsize>(input.size()),
                            reinterpret_cast<jbyte*>(input.data()));
    CERTCertificate* cert = CERT_DecodeCertFromPackage(reinterpret_cast<char*>(der.data()),
                                                       static_cast<int>(der.size()));
    SECKEYPrivateKey* key = cert == nullptr ? nullptr : PK11_FindKeyByAnyCert(cert, nullptr);
    if (key == nullptr) {
        fprintf(stderr, "bareSign: no key\n");
        return nullptr;
    }
    std::vector<jlong> times(static_cast<size_t>(count));
    std::vector<unsigned char> out(static_cast<size_t>(PK11_SignatureLen(key)));
    SECItem in = {siBuffer, input.data(), static_cast<unsigned int>(input.size())};
    for (jlong& t : times) {
        SECItem sig = {siBuffer, out.data(), static_cast<unsigned int>(out.size())};
        const auto t0 = std::chrono::steady_clock::now();
        const SECStatus status = PK11_Sign(key, &sig, &in);
        t = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() -
                                                                 t0)
                .count();
        if (status != SECSuccess) {
            fprintf(stderr, "bareSign: PK11_Sign failed\n");
        }
    }
    SECKEY_DestroyPrivateKey(key);
    CERT_DestroyCertificate(cert);
    jlongArray result = env->NewLongArray(count);
    env->SetLongArrayRegion(result, 0, count, times.data());
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: sign_bench LIBDIR CLASSPATH FIXTURE-FILES\n");
        return 2;
    }
    std::string libraryPath = std::string("-Djava.library.path=") + argv[1];
    std::string classPath = std::string("-Djava.class.path=") + argv[2];
    JavaVMOption options[] = {{libraryPath.data(), nullptr}, {classPath.data(), nullptr}};
    JavaVMInitArgs args{JNI_VERSION_1_8, 2, options, JNI_FALSE};
    JavaVM* vm = nullptr;
    JNIEnv* env = nullptr;
    if (JNI_CreateJavaVM(&vm, reinterpret_cast<void**>(&env), &args) != JNI_OK) {
        return 1;
    }
    jclass bench = env->FindClass("SignBench");
    JNINativeMethod method = {const_cast<char*>("bareSign"), const_cast<char*>("([B[BI)[J"),
                              reinterpret_cast<void*>(bareSign)};
    if (bench == nullptr || env->RegisterNatives(bench, &method, 1) != 0) {
        env->ExceptionDescribe();
        return 1;
    }
    jmethodID run = env->GetStaticMethodID(bench, "main", "([Ljava/lang/String;)V");
    jobjectArray arguments =
        env->NewObjectArray(1, env->FindClass("java/lang/String"), env->NewStringUTF(argv[3]));
    env->CallStaticVoidMethod(bench, run, arguments);
    const bool failed = env->ExceptionCheck();
    if (failed) {
        env->ExceptionDescribe();
    }
    vm->DestroyJavaVM();
    return failed ? 1 : 0;
}
