// locateCertificate, and each query that finds by bytes, over the real store of $HOME.
#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "crypto.h"
#include "error_register.h"

std::atomic<int32_t> lastError{0};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto length = static_cast<int32_t>(size);
    HCERTSTORE store =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"My");
    if (store == nullptr) {
        abort();  // the seeded store must open
    }
    CertFreeCertificateContext(locateCertificate(store, data, length));
    CertCloseStore(store, 0);

    WCHAR* name = nullptr;
    DWORD nameLength = 0;
    if (getCertificateDn(data, length, 0, &name, &nameLength) == 0) {
        free(name);
    }
    BYTE usage[2];
    getCertificateKeyUsage(data, length, usage);
    return 0;
}
