// A PKCS#11 module slow to start, for the tests: C_Initialize writes "init" to $OSTREL_SLOW_LOG,
// then waits until the file $OSTREL_SLOW_GATE exists and fails. NSS retries a failed C_Initialize
// once without arguments within the same load; only the first of the two is logged, so the log
// counts loads. Nothing else is ever called.
#include <pkcs11.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

CK_RV initialize(CK_VOID_PTR arguments) {
    const char* log = arguments != nullptr ? getenv("OSTREL_SLOW_LOG") : nullptr;
    const char* gate = getenv("OSTREL_SLOW_GATE");
    if (FILE* f = log != nullptr ? fopen(log, "a") : nullptr) {
        fputs("init\n", f);
        fclose(f);
    }
    while (gate != nullptr && access(gate, F_OK) != 0) {
        usleep(10000);
    }
    return CKR_GENERAL_ERROR;
}

CK_RV finalize(CK_VOID_PTR) {
    return CKR_OK;
}

CK_FUNCTION_LIST functions = {};

}  // namespace

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(
    CK_FUNCTION_LIST_PTR_PTR list) {
    functions.version = {2, 20};
    functions.C_Initialize = initialize;
    functions.C_Finalize = finalize;
    *list = &functions;
    return CKR_OK;
}
