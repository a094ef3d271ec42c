// Puts the fixture certificates into the current user's "My" store, each key in a key container
// of its own. (Under Wine every PFX import shares one container, so the second would replace the
// first key.) A key is imported under one type only, AT_KEYEXCHANGE or AT_SIGNATURE, so that
// signing under the other fails. Those marked "refused" must fail to decode.
//
// Usage: import.exe FIXTURES
#include <windows.h>
#include <wincrypt.h>

#include <cstring>

#include "fixture.h"

namespace {

bool importKey(const fixture::Entry& entry, const std::string& dir) {
    // A PVK file: a 24-byte header whose last field is the blob's length, then a PRIVATEKEYBLOB.
    fixture::Bytes pvk = fixture::read(dir + "\\" + entry.name + ".pvk");
    DWORD length = 0;
    memcpy(&length, pvk.data() + 20, 4);
    BYTE* blob = pvk.data() + 24;
    reinterpret_cast<BLOBHEADER*>(blob)->aiKeyAlg =
        entry.key == "sig" ? CALG_RSA_SIGN : CALG_RSA_KEYX;
    HCRYPTPROV prov = 0;
    HCRYPTKEY key = 0;
    const std::wstring container = fixture::container(entry);
    if (!CryptAcquireContextW(&prov, container.c_str(), MS_ENHANCED_PROV_W, PROV_RSA_FULL,
                              CRYPT_NEWKEYSET)) {
        return false;
    }
    const bool ok = CryptImportKey(prov, blob, length, 0, 0, &key) && CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: import.exe FIXTURES\n");
        return 2;
    }
    const std::string dir = argv[1];
    HCERTSTORE store =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"My");
    if (store == nullptr) {
        fprintf(stderr, "cannot open My: %lu\n", GetLastError());
        return 1;
    }
    int status = 0;
    for (const fixture::Entry& entry : fixture::manifest(dir)) {
        const fixture::Bytes der = fixture::read(dir + "\\" + entry.name + ".der");
        PCCERT_CONTEXT added = nullptr;
        bool ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                                   static_cast<DWORD>(der.size()),
                                                   CERT_STORE_ADD_NEW, &added);
        if (entry.key == "refused") {
            ok = !ok;
            if (!ok) {
                fprintf(stderr, "%s: expected the platform to refuse it\n", entry.name.c_str());
            }
        } else if (ok && entry.key != "none") {
            std::wstring container = fixture::container(entry);
            CRYPT_KEY_PROV_INFO info = {};
            info.pwszContainerName = container.data();
            info.pwszProvName = const_cast<LPWSTR>(MS_ENHANCED_PROV_W);
            info.dwProvType = PROV_RSA_FULL;
            info.dwKeySpec = entry.key == "sig" ? AT_SIGNATURE : AT_KEYEXCHANGE;
            ok = importKey(entry, dir) &&
                 CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &info);
        }
        if (!ok) {
            fprintf(stderr, "cannot import %s: 0x%lx\n", entry.name.c_str(), GetLastError());
            status = 1;
        }
        if (added != nullptr) {
            CertFreeCertificateContext(added);
        }
    }
    CertCloseStore(store, 0);
    return status;
}
