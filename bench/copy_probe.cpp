// A JNI method that only gets and releases the elements of a byte[], as the library does with
// every array it is handed: what that conversion costs on its own.
#include "ostrel_bench_CopyProbe.h"

JNIEXPORT jint JNICALL Java_ostrel_bench_CopyProbe_getAndRelease(JNIEnv* env, jclass,
                                                                 jbyteArray array) {
    jboolean copied = JNI_FALSE;
    jbyte* bytes = env->GetByteArrayElements(array, &copied);
    if (bytes == nullptr) {
        return -1;
    }
    const jint first = bytes[0];
    env->ReleaseByteArrayElements(array, bytes, JNI_ABORT);
    return copied ? 1000 + first : first;
}
