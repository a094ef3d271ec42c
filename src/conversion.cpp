#include "conversion.h"

int32_t jbyteArray2pbyte(JNIEnv* env, jbyteArray array, jbyte** bytes, jsize* length) {
    if (array == nullptr) {
        return 1;
    }
    *length = env->GetArrayLength(array);
    *bytes = env->GetByteArrayElements(array, nullptr);
    return *bytes == nullptr ? 1 : 0;
}

int32_t pbyte2jbyteArray(JNIEnv* env, const BYTE* bytes, int32_t length, jbyteArray* array) {
    *array = env->NewByteArray(length);
    if (*array == nullptr) {
        return 1;
    }
    env->SetByteArrayRegion(*array, 0, length, reinterpret_cast<const jbyte*>(bytes));
    return 0;
}

int32_t cryptintegerblob2jbyteArray(JNIEnv* env, CRYPT_INTEGER_BLOB blob, jbyteArray* array) {
    return pbyte2jbyteArray(env, blob.pbData, static_cast<int32_t>(blob.cbData), array);
}

int32_t wchar2jstring(JNIEnv* env, const WCHAR* chars, DWORD length, jstring* string) {
    *string = env->NewString(reinterpret_cast<const jchar*>(chars), static_cast<jsize>(length));
    return 0;
}

jobjectArray certificateList2jobjectArray(JNIEnv* env, const CertificateListNode* head) {
    jsize count = 0;
    for (const CertificateListNode* node = head; node != nullptr; node = node->next) {
        ++count;
    }
    jbyteArray prototype = env->NewByteArray(1);
    if (prototype == nullptr) {
        return nullptr;
    }
    jclass byteArrayClass = env->GetObjectClass(prototype);
    env->DeleteLocalRef(prototype);
    jobjectArray result = env->NewObjectArray(count, byteArrayClass, nullptr);
    env->DeleteLocalRef(byteArrayClass);
    if (result == nullptr) {
        return nullptr;
    }
    jsize index = 0;
    for (const CertificateListNode* node = head; node != nullptr; node = node->next) {
        jbyteArray element = env->NewByteArray(node->length);
        if (element == nullptr) {
            env->DeleteLocalRef(result);
            return nullptr;
        }
        env->SetByteArrayRegion(element, 0, node->length,
                                reinterpret_cast<const jbyte*>(node->data));
        env->SetObjectArrayElement(result, index, element);
        // Thousands of certificates would overflow the local reference table otherwise.
        env->DeleteLocalRef(element);
        ++index;
    }
    return result;
}

int32_t filetime2jlong(JNIEnv* /*env*/, FILETIME filetime, jlong* millis) {
    const uint64_t ticks =
        (static_cast<uint64_t>(filetime.dwHighDateTime) << 32) | filetime.dwLowDateTime;
    const uint64_t since1601 = ticks / 10000;
    *millis = static_cast<jlong>(since1601 - UINT64_C(11644473600000));
    return 0;
}

int32_t keyUsage2jint(JNIEnv* /*env*/, const BYTE* bytes, jint* word) {
    jint result = 0;
    for (int i = 0; i < 8; ++i) {
        if (bytes[0] & (0x80 >> i)) {
            result |= 1 << i;
        }
    }
    if (bytes[1] & 0x80) {
        result |= 1 << 8;
    }
    *word = result;
    return 0;
}
