// The native side of ostrel.tool.Tokens: the store's report (nss/report.h) as byte[][], one UTF-8
// line an element. A library of the tool's own: the product's exports stay its fourteen methods.
#include <jni.h>

#include <mutex>
#include <new>

#include "ostrel_tool_Tokens.h"
#include "nss/report.h"
#include "nss/startup.h"

namespace {

// The lines as byte[][]; null with an exception pending when the VM is out of memory.
jobjectArray toJava(JNIEnv* env, const std::vector<std::string>& lines) {
    jclass bytes = env->FindClass("[B");
    if (bytes == nullptr) {
        return nullptr;
    }
    jobjectArray out = env->NewObjectArray(static_cast<jsize>(lines.size()), bytes, nullptr);
    for (size_t i = 0; out != nullptr && i < lines.size(); ++i) {
        jbyteArray line = env->NewByteArray(static_cast<jsize>(lines[i].size()));
        if (line == nullptr) {
            return nullptr;  // the VM's OutOfMemoryError is pending
        }
        env->SetByteArrayRegion(line, 0, static_cast<jsize>(lines[i].size()),
                                reinterpret_cast<const jbyte*>(lines[i].data()));
        env->SetObjectArrayElement(out, static_cast<jsize>(i), line);
        env->DeleteLocalRef(line);
    }
    return out;
}

void outOfMemory(JNIEnv* env) {
    jclass type = env->FindClass("java/lang/OutOfMemoryError");
    if (type != nullptr) {  // else FindClass's own error is pending
        env->ThrowNew(type, "ostrel_tokens");
    }
}

}  // namespace

extern "C" JNIEXPORT jobjectArray JNICALL Java_ostrel_tool_Tokens_describe(JNIEnv* env, jclass) {
    std::vector<std::string> lines;
    try {
        lines = nsslayer::describeStore();
    } catch (const std::bad_alloc&) {
        outOfMemory(env);
        return nullptr;
    }
    return toJava(env, lines);
}

// Where the database is and why, without starting NSS or loading a module: the usage text needs
// it, and a module that never finishes starting must not hold that up.
extern "C" JNIEXPORT jobjectArray JNICALL Java_ostrel_tool_Tokens_place(JNIEnv* env, jclass) {
    std::vector<std::string> lines;
    try {
        std::lock_guard<std::mutex> guard(nsslayer::lock());
        const nsslayer::UserDatabase place = nsslayer::userDatabase();
        lines = {place.directory, place.reason};
    } catch (const std::bad_alloc&) {
        outOfMemory(env);
        return nullptr;
    }
    return toJava(env, lines);
}
