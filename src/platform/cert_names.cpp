#include "platform/cryptoapi.h"

DWORD CertGetNameStringW(PCCERT_CONTEXT, DWORD, DWORD, void*, LPWSTR, DWORD) {
    return 0;
}
