#include "cryptoapi/cryptoapi.h"

namespace {
thread_local DWORD lastErrorValue = 0;
}

DWORD GetLastError() {
    return lastErrorValue;
}

void SetLastError(DWORD error) {
    lastErrorValue = error;
}
