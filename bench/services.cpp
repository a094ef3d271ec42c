// The library's services called directly, without the JVM: the native share of each method, so
// that the JNI conversions can be told apart from the store and the cryptography.
//
//   HOME=... bench_services --signer FILE [--token-signer FILE] [--benchmark_... flags]
//
// The store is the current user's, as in the library; FILE holds the DER of its RSA signer, and
// of the one on its SoftHSM token "Bench Token" (PIN 1234) with --token-signer.
#include <cert.h>
#include <keyhi.h>
#include <openssl/evp.h>
#include <pk11pub.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "change_database.h"
#include "crypto.h"
#include "error_register.h"

// Normally owned by the native-method module, which this program leaves out.
std::atomic<int32_t> lastError{0};

namespace {

std::string databaseDirectory;
std::vector<BYTE> signer;
std::vector<BYTE> tokenSigner;  // on the SoftHSM token "Bench Token", PIN 1234, when given
std::vector<BYTE> lastListed;   // the certificate found last by a store scan

std::vector<BYTE> bytesOf(size_t size) {
    std::vector<BYTE> data(size);
    for (size_t i = 0; i < size; ++i) {
        data[i] = static_cast<BYTE>(i * 131 + 7);
    }
    return data;
}

// With `change`, the database is changed (untimed) before each listing.
void list(benchmark::State& state, bool change) {
    for (auto _ : state) {
        if (change && !changeDatabaseUntimed(state, databaseDirectory)) {
            break;
        }
        int32_t code = 0;
        CertificateListNode* head = getCertificatesInMyStore(&code);
        if (code != 0 || head == nullptr) {
            state.SkipWithError("listing failed");
            break;
        }
        freeCertificateList(head);
    }
}

void notAfter(benchmark::State& state) {
    for (auto _ : state) {
        FILETIME value;
        if (getCertificateTimestamp(lastListed.data(), static_cast<int32_t>(lastListed.size()), 0,
                                    &value) != 0) {
            state.SkipWithError("getCertificateTimestamp failed");
            break;
        }
        benchmark::DoNotOptimize(value);
    }
}

void subjectDn(benchmark::State& state) {
    for (auto _ : state) {
        WCHAR* name = nullptr;
        DWORD length = 0;
        if (getCertificateDn(lastListed.data(), static_cast<int32_t>(lastListed.size()), 0, &name,
                             &length) != 0) {
            state.SkipWithError("getCertificateDn failed");
            break;
        }
        free(name);
    }
}

void signData(benchmark::State& state, const std::vector<BYTE>* certificate) {
    const std::vector<BYTE> data = bytesOf(1024);
    for (auto _ : state) {
        BYTE* signature = nullptr;
        DWORD length = 0;
        if (sign(certificate->data(), static_cast<int32_t>(certificate->size()), data.data(),
                 static_cast<int32_t>(data.size()), &signature, &length) != 0) {
            state.SkipWithError("sign failed");
            break;
        }
        free(signature);
    }
}

// Bare PK11_Sign, as bench_limits measures it, but on the NSS the library opened in this process:
// run interleaved with the library's signing, the difference is the library's own share of a
// signature. `nickname` names the certificate whose key signs.
void bareSign(benchmark::State& state, const char* nickname) {
    CERTCertificate* cert = PK11_FindCertFromNickname(nickname, nullptr);
    SECKEYPrivateKey* key = cert == nullptr ? nullptr : PK11_FindKeyByAnyCert(cert, nullptr);
    if (key == nullptr) {
        state.SkipWithError("no key for the certificate");
    }
    const std::vector<BYTE> data = bytesOf(1024);
    const auto& prefix = kSha1DigestInfoPrefix;
    unsigned char digestInfo[sizeof prefix + 20];
    memcpy(digestInfo, prefix, sizeof prefix);
    std::vector<unsigned char> signature(key == nullptr ? 0 : PK11_SignatureLen(key));
    for (auto _ : state) {
        unsigned int length = 0;
        EVP_Digest(data.data(), data.size(), digestInfo + sizeof prefix, &length, EVP_sha1(),
                   nullptr);
        SECItem input = {siBuffer, digestInfo, sizeof digestInfo};
        SECItem output = {siBuffer, signature.data(), static_cast<unsigned int>(signature.size())};
        if (PK11_Sign(key, &output, &input) != SECSuccess) {
            state.SkipWithError("PK11_Sign failed");
            break;
        }
    }
    if (key != nullptr) {
        SECKEY_DestroyPrivateKey(key);
    }
    if (cert != nullptr) {
        CERT_DestroyCertificate(cert);
    }
}

// The token's PIN, for the bench's own login: the library finds the token logged in, as it finds
// it after another user of NSS in the process (SunPKCS11) logged in.
char* tokenPin(PK11SlotInfo* /*slot*/, PRBool retry, void* /*arg*/) {
    return retry ? nullptr : PORT_Strdup("1234");
}

bool logInToToken(const char* name) {
    PK11SlotInfo* slot = PK11_FindSlotByName(name);
    if (slot == nullptr) {
        return false;
    }
    PK11_SetPasswordFunc(tokenPin);
    const bool in = PK11_Authenticate(slot, PR_TRUE, nullptr) == SECSuccess;
    PK11_FreeSlot(slot);
    return in;
}

void digest(benchmark::State& state) {
    const std::vector<BYTE> data = bytesOf(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        BYTE* hash = nullptr;
        DWORD length = 0;
        if (digest_sha1(data.data(), static_cast<int32_t>(data.size()), &hash, &length) != 0) {
            state.SkipWithError("digest_sha1 failed");
            break;
        }
        free(hash);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        const bool token = strcmp(argv[i], "--token-signer") == 0;
        if ((token || strcmp(argv[i], "--signer") == 0) && i + 1 < argc) {
            std::ifstream file(argv[++i], std::ios::binary);
            (token ? tokenSigner : signer)
                .assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
        } else {
            rest.push_back(argv[i]);
        }
    }
    const char* home = getenv("HOME");
    databaseDirectory = std::string(home != nullptr ? home : "") + "/.pki/nssdb";
    int32_t code = 0;
    CertificateListNode* head = getCertificatesInMyStore(&code);
    if (signer.empty() || head == nullptr) {
        fprintf(stderr, "bench_services: no signer (--signer FILE) or an empty store (code %d)\n",
                code);
        return 2;
    }
    // The list comes newest enumeration first: its head is the one a scan reaches last.
    lastListed.assign(head->data, head->data + head->length);
    freeCertificateList(head);

    benchmark::RegisterBenchmark("services/list", list, false)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("services/list_after_change", list, true)
        ->Iterations(3)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("services/notAfter", notAfter)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("services/subjectDn", subjectDn)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("services/sign", signData, &signer)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("services/bare_pk11_sign", bareSign, "signer")
        ->Unit(benchmark::kMicrosecond);
    if (!tokenSigner.empty()) {
        if (!logInToToken("Bench Token")) {
            fprintf(stderr, "bench_services: cannot log in to \"Bench Token\"\n");
            return 2;
        }
        benchmark::RegisterBenchmark("services/token_sign", signData, &tokenSigner)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark("services/bare_token_sign", bareSign,
                                     "Bench Token:token-signer")
            ->Unit(benchmark::kMicrosecond);
    }
    for (const int64_t size : {int64_t{1} << 10, int64_t{1} << 20, int64_t{1} << 26}) {
        benchmark::RegisterBenchmark("services/digest", digest)
            ->Arg(size)
            ->Unit(benchmark::kMicrosecond);
    }
    int count = static_cast<int>(rest.size());
    benchmark::Initialize(&count, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
