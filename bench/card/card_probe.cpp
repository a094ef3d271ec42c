// JNI methods of ostrel.bench.CardProbe, in the JVM beside the library: a bare signature through
// the card module's PKCS#11 functions (bare_signer.h), and the moment pcscd reports a card.
#include <time.h>

#include <PCSC/winscard.h>

#include <atomic>
#include <string>
#include <vector>

#include "bare_signer.h"
#include "ostrel_bench_CardProbe.h"

namespace {

BareSigner signer;
std::atomic<bool> armed{false};

long long monotonicNow() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

std::vector<unsigned char> bytesOf(JNIEnv* env, jbyteArray array) {
    std::vector<unsigned char> bytes(static_cast<size_t>(env->GetArrayLength(array)));
    env->GetByteArrayRegion(array, 0, static_cast<jsize>(bytes.size()),
                            reinterpret_cast<jbyte*>(bytes.data()));
    return bytes;
}

}  // namespace

JNIEXPORT jstring JNICALL Java_ostrel_bench_CardProbe_open(JNIEnv* env, jclass, jstring module,
                                                           jbyteArray certificate) {
    const char* path = env->GetStringUTFChars(module, nullptr);
    if (path == nullptr) {
        return nullptr;
    }
    const std::string error = signer.open(path, bytesOf(env, certificate));
    env->ReleaseStringUTFChars(module, path);
    return error.empty() ? nullptr : env->NewStringUTF(error.c_str());
}

JNIEXPORT jbyteArray JNICALL Java_ostrel_bench_CardProbe_sign(JNIEnv* env, jclass,
                                                              jbyteArray data) {
    jbyte* bytes = env->GetByteArrayElements(data, nullptr);
    if (bytes == nullptr) {
        return nullptr;
    }
    std::vector<unsigned char> signature;
    const bool signed_ = signer.sign(reinterpret_cast<unsigned char*>(bytes),
                                     static_cast<size_t>(env->GetArrayLength(data)), &signature);
    env->ReleaseByteArrayElements(data, bytes, JNI_ABORT);
    if (!signed_) {
        return nullptr;
    }
    jbyteArray out = env->NewByteArray(static_cast<jsize>(signature.size()));
    if (out != nullptr) {
        env->SetByteArrayRegion(out, 0, static_cast<jsize>(signature.size()),
                                reinterpret_cast<const jbyte*>(signature.data()));
    }
    return out;
}

JNIEXPORT void JNICALL Java_ostrel_bench_CardProbe_close(JNIEnv*, jclass) {
    signer.close();
}

JNIEXPORT jlong JNICALL Java_ostrel_bench_CardProbe_monotonicNanos(JNIEnv*, jclass) {
    return monotonicNow();
}

JNIEXPORT jboolean JNICALL Java_ostrel_bench_CardProbe_armed(JNIEnv*, jclass) {
    return armed.load() ? JNI_TRUE : JNI_FALSE;
}

// A PC/SC client of its own (pcscd found through PCSCLITE_CSOCK_NAME) reads the reader's state,
// sets `armed`, then waits for pcscd to report a card in it.
JNIEXPORT jlong JNICALL Java_ostrel_bench_CardProbe_awaitCard(JNIEnv* env, jclass, jstring reader,
                                                              jint timeoutMs) {
    armed = false;
    const char* name = env->GetStringUTFChars(reader, nullptr);
    if (name == nullptr) {
        return -3;
    }
    const std::string readerName = name;
    env->ReleaseStringUTFChars(reader, name);
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS) {
        return -3;
    }
    SCARD_READERSTATE state{};
    state.szReader = readerName.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    jlong result = -3;
    if (SCardGetStatusChange(context, 0, &state, 1) == SCARD_S_SUCCESS) {
        result = -1;
        if ((state.dwEventState & SCARD_STATE_PRESENT) != 0) {
            result = -2;  // a card was there already: no insertion to time
        }
        armed = true;
        const long long deadline = monotonicNow() + timeoutMs * 1'000'000LL;
        while (result == -1) {
            const long long left = (deadline - monotonicNow()) / 1'000'000;
            if (left <= 0) {
                break;
            }
            state.dwCurrentState = state.dwEventState & ~SCARD_STATE_CHANGED;
            const LONG status = SCardGetStatusChange(context, static_cast<DWORD>(left), &state, 1);
            const long long now = monotonicNow();
            if (status == SCARD_E_TIMEOUT) {
                break;
            }
            if (status != SCARD_S_SUCCESS) {
                result = -3;
            } else if ((state.dwEventState & SCARD_STATE_PRESENT) != 0) {
                result = now;
            }
        }
    }
    SCardReleaseContext(context);
    armed = false;  // so that the next wait is not taken as armed before it starts
    return result;
}
