// Conversions against a real JVM, created once for the whole binary.
#include <gtest/gtest.h>
#include <jni.h>

#include <cstring>
#include <vector>

#include "conversion.h"

namespace {

JavaVM* vm = nullptr;
JNIEnv* env = nullptr;

class Jvm : public ::testing::Environment {
  public:
    void SetUp() override {
        JavaVMOption options[] = {{const_cast<char*>("-Xrs"), nullptr},
                                  {const_cast<char*>("-Xcheck:jni"), nullptr}};
        JavaVMInitArgs args{JNI_VERSION_1_8, 2, options, JNI_FALSE};
        ASSERT_EQ(JNI_OK, JNI_CreateJavaVM(&vm, reinterpret_cast<void**>(&env), &args));
    }
};

// Makes one JNI function fail while in scope, by swapping the env's function table: HotSpot
// finds the current thread from the env's address, so the env itself must stay.
class FailingFunction {
  public:
    template <typename Member, typename Replacement>
    FailingFunction(Member member, Replacement replacement) : saved_(env->functions) {
        table_ = *env->functions;
        table_.*member = replacement;
        env->functions = &table_;
    }
    ~FailingFunction() { env->functions = saved_; }

  private:
    const JNINativeInterface_* saved_;
    JNINativeInterface_ table_;
};

jbyteArray JNICALL noByteArray(JNIEnv*, jsize) {
    return nullptr;
}
jobjectArray JNICALL noObjectArray(JNIEnv*, jsize, jclass, jobject) {
    return nullptr;
}
jstring JNICALL noString(JNIEnv*, const jchar*, jsize) {
    return nullptr;
}

std::vector<BYTE> bytesOf(jbyteArray array) {
    std::vector<BYTE> out(static_cast<size_t>(env->GetArrayLength(array)));
    env->GetByteArrayRegion(array, 0, static_cast<jsize>(out.size()),
                            reinterpret_cast<jbyte*>(out.data()));
    return out;
}

TEST(Conversion, FiletimeToJavaMillis) {
    const uint64_t epoch = UINT64_C(116444736000000000);  // 1970-01-01 in 100-ns units
    const struct {
        uint64_t ticks;
        jlong millis;
    } cases[] = {{0, INT64_C(-11644473600000)},
                 {epoch, 0},
                 {epoch + 9999, 0},
                 {epoch + 10000, 1},
                 {epoch - 1, -1},
                 {UINT64_MAX, static_cast<jlong>(UINT64_MAX / 10000 - UINT64_C(11644473600000))}};
    for (const auto& c : cases) {
        jlong millis = 7;
        FILETIME ft{static_cast<DWORD>(c.ticks), static_cast<DWORD>(c.ticks >> 32)};
        EXPECT_EQ(0, filetime2jlong(env, ft, &millis));
        EXPECT_EQ(c.millis, millis) << c.ticks;
    }
}

TEST(Conversion, KeyUsageBytesToWord) {
    const struct {
        BYTE bytes[2];
        jint word;
    } cases[] = {{{0x80, 0x00}, 1},   {{0x06, 0x00}, 96}, {{0x00, 0x80}, 256}, {{0x00, 0x7F}, 0},
                 {{0xFF, 0xFF}, 511}, {{0xC0, 0x00}, 3},  {{0x01, 0x00}, 128}, {{0x00, 0x00}, 0}};
    for (const auto& c : cases) {
        jint word = -1;
        EXPECT_EQ(0, keyUsage2jint(env, c.bytes, &word));
        EXPECT_EQ(c.word, word) << int(c.bytes[0]) << "," << int(c.bytes[1]);
    }
}

TEST(Conversion, ByteArraysBothWays) {
    const BYTE data[] = {0, 1, 0x7F, 0x80, 0xFF};
    jbyteArray array = nullptr;
    ASSERT_EQ(0, pbyte2jbyteArray(env, data, 5, &array));
    EXPECT_EQ(std::vector<BYTE>(data, data + 5), bytesOf(array));
    jbyte* elements = nullptr;
    jsize length = -1;
    ASSERT_EQ(0, jbyteArray2pbyte(env, array, &elements, &length));
    EXPECT_EQ(5, length);
    EXPECT_EQ(0, memcmp(data, elements, 5));
    env->ReleaseByteArrayElements(array, elements, JNI_ABORT);
    EXPECT_NE(0, jbyteArray2pbyte(env, nullptr, &elements, &length));

    jbyteArray empty = nullptr;
    ASSERT_EQ(0, pbyte2jbyteArray(env, data, 0, &empty));
    ASSERT_EQ(0, jbyteArray2pbyte(env, empty, &elements, &length));
    EXPECT_EQ(0, length);
    env->ReleaseByteArrayElements(empty, elements, JNI_ABORT);

    BYTE serial[] = {0xFF, 0x01};
    ASSERT_EQ(0, cryptintegerblob2jbyteArray(env, CRYPT_INTEGER_BLOB{2, serial}, &array));
    EXPECT_EQ(std::vector<BYTE>({0xFF, 0x01}), bytesOf(array));
}

TEST(Conversion, StringKeepsTheCountedUnits) {
    const WCHAR name[] = {'C', 'N', '=', 0x00E9, 0};
    jstring string = nullptr;
    ASSERT_EQ(0, wchar2jstring(env, name, 5, &string));
    ASSERT_EQ(5, env->GetStringLength(string));
    const jchar* chars = env->GetStringChars(string, nullptr);
    EXPECT_EQ(0xE9, chars[3]);
    EXPECT_EQ(0, chars[4]);
    env->ReleaseStringChars(string, chars);
}

TEST(Conversion, ListBecomesArrayOfArraysHeadFirst) {
    BYTE a[] = {1}, b[] = {2, 2}, c[] = {3, 3, 3};
    CertificateListNode n3{c, 3, nullptr}, n2{b, 2, &n3}, n1{a, 1, &n2};
    jobjectArray array = certificateList2jobjectArray(env, &n1);
    ASSERT_NE(nullptr, array);
    ASSERT_EQ(3, env->GetArrayLength(array));
    const std::vector<BYTE> expected[] = {{1}, {2, 2}, {3, 3, 3}};
    for (jsize i = 0; i < 3; ++i) {
        auto element = static_cast<jbyteArray>(env->GetObjectArrayElement(array, i));
        EXPECT_EQ(expected[i], bytesOf(element));
        env->DeleteLocalRef(element);
    }
    jobjectArray none = certificateList2jobjectArray(env, nullptr);
    ASSERT_NE(nullptr, none);
    EXPECT_EQ(0, env->GetArrayLength(none));
}

TEST(Conversion, ThousandsOfCertificatesStayWithinTheLocalFrame) {
    std::vector<BYTE> data(100, 0x42);
    std::vector<CertificateListNode> nodes(5000, CertificateListNode{data.data(), 100, nullptr});
    for (size_t i = 0; i + 1 < nodes.size(); ++i) {
        nodes[i].next = &nodes[i + 1];
    }
    ASSERT_EQ(0, env->PushLocalFrame(16));
    jobjectArray array = certificateList2jobjectArray(env, nodes.data());
    ASSERT_NE(nullptr, array);
    EXPECT_EQ(5000, env->GetArrayLength(array));
    env->PopLocalFrame(nullptr);
}

TEST(Conversion, VmAllocationFailures) {
    BYTE a[] = {1};
    CertificateListNode node{a, 1, nullptr};
    {
        FailingFunction failing(&JNINativeInterface_::NewByteArray, noByteArray);
        jbyteArray array = reinterpret_cast<jbyteArray>(1);
        EXPECT_NE(0, pbyte2jbyteArray(env, a, 1, &array));
        EXPECT_EQ(nullptr, array);
        EXPECT_EQ(nullptr, certificateList2jobjectArray(env, &node));
    }
    {
        FailingFunction failing(&JNINativeInterface_::NewObjectArray, noObjectArray);
        EXPECT_EQ(nullptr, certificateList2jobjectArray(env, &node));
    }
    {
        FailingFunction failing(&JNINativeInterface_::NewString, noString);
        jstring string = reinterpret_cast<jstring>(1);
        EXPECT_EQ(0, wchar2jstring(env, u"x", 1, &string));
        EXPECT_EQ(nullptr, string);
    }
    EXPECT_FALSE(env->ExceptionCheck());
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __asan_default_options();
extern "C" const char* __lsan_default_suppressions();
// The JVM handles SEGV itself and keeps its allocations to the end; our own leaks still show.
extern "C" __attribute__((visibility("default"))) const char* __asan_default_options() {
    return "handle_segv=0:intercept_tls_get_addr=0:malloc_context_size=2";
}
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() {
    return "leak:/usr/lib/jvm/\n";
}
#endif

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new Jvm);
    return RUN_ALL_TESTS();
}
