#include "platform/cryptoapi.h"

BOOL CryptAcquireContextA(HCRYPTPROV*, LPCSTR, LPCSTR, DWORD, DWORD) {
    return FALSE;
}
BOOL CryptCreateHash(HCRYPTPROV, ALG_ID, HCRYPTKEY, DWORD, HCRYPTHASH*) {
    return FALSE;
}
BOOL CryptHashData(HCRYPTHASH, const BYTE*, DWORD, DWORD) {
    return FALSE;
}
BOOL CryptGetHashParam(HCRYPTHASH, DWORD, BYTE*, DWORD*, DWORD) {
    return FALSE;
}
BOOL CryptSignHashA(HCRYPTHASH, DWORD, LPCSTR, DWORD, BYTE*, DWORD*) {
    return FALSE;
}
BOOL CryptDestroyHash(HCRYPTHASH) {
    return FALSE;
}
BOOL CryptReleaseContext(HCRYPTPROV, DWORD) {
    return FALSE;
}
