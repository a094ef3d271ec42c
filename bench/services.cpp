// The library's services called directly, without the JVM: the native share of each method, so
// that the JNI conversions can be told apart from the store and the cryptography.
//
//   HOME=... bench_services --signer FILE [--token-signer FILE] [--consent-signer FILE]
//                           [--benchmark_... flags]
//
// The store is the current user's, as in the library; FILE holds the DER of its RSA signer, and
// of the one on its SoftHSM token "Bench Token" (PIN 1234) with --token-signer; with
// --consent-signer, of a certificate on that token whose key demands the PIN at every signature
// (CKA_ALWAYS_AUTHENTICATE), the PIN supplied by the pinentry $OSTREL_PINENTRY names
// (bench_pinentry).
#include <cert.h>
#include <keyhi.h>
#include <openssl/evp.h>
#include <pk11pub.h>
#include <pkcs11.h>

#include <benchmark/benchmark.h>

#include <dlfcn.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "change_database.h"
#include "service_loops.h"
#include "nss/pinentry.h"
#include "crypto.h"
#include "error_register.h"

// Normally owned by the native-method module, which this program leaves out.
std::atomic<int32_t> lastError{0};

namespace {

std::string databaseDirectory;
std::vector<BYTE> signer;
std::vector<BYTE> tokenSigner;    // on the SoftHSM token "Bench Token", PIN 1234, when given
std::vector<BYTE> consentSigner;  // on the same token, its key CKA_ALWAYS_AUTHENTICATE
std::vector<BYTE> lastListed;     // the certificate found last by a store scan

// With `change`, the database is changed (untimed) before each listing.
void list(benchmark::State& state, bool change) {
    for (auto _ : state) {
        if ((change && !changeDatabaseUntimed(state, databaseDirectory)) || !listOnce(state)) {
            break;
        }
    }
}

// The prompt's share of a signature, measured by wrapping the calls the library makes for it (it
// is linked into this program, so its calls bind to the wrappers below before libc's): from its
// posix_spawnp of the pinentry to the last answer read from it, and from its BYE to the waitpid
// that reaps it. In between the library tries the PIN on the token: that is its own.
struct PromptClock {
    std::atomic<int> socket{-1};  // the library's end of the pinentry's socket pair
    std::atomic<pid_t> child{0};
    std::atomic<long long> spawnedAt{0}, lastReadAt{0}, byeAt{0};
    std::atomic<long long> windowNs{0};  // since the last call of promptNs
};

PromptClock& promptClock() {
    static PromptClock clock;
    return clock;
}

long long monotonicNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double promptNs() {
    return static_cast<double>(promptClock().windowNs.exchange(0));
}

// Signing with a key that asks for the PIN at every signature: the time of each signature less its
// prompt's share (see PromptClock: a person's share, however quick the person), so that the
// library's own share of the signature is what is compared with the bare token calls.
void signWithConsent(benchmark::State& state, const std::vector<BYTE>* certificate) {
    const std::vector<BYTE> data = bytesOf(1024);
    promptNs();
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        BYTE* signature = nullptr;
        DWORD length = 0;
        const int32_t result =
            sign(certificate->data(), static_cast<int32_t>(certificate->size()), data.data(),
                 static_cast<int32_t>(data.size()), &signature, &length);
        const double ns =
            std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start)
                .count();
        free(signature);
        if (result != 0) {
            state.SkipWithError("sign failed");
            break;
        }
        state.SetIterationTime((ns - promptNs()) / 1e9);
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

// What a bare signature needs: the key of the certificate `nickname` names (null when there is
// none) and the DigestInfo of SHA-1 over the signed data, as the library signs it.
struct BareInput {
    CERTCertificate* cert = nullptr;
    SECKEYPrivateKey* key = nullptr;
    const std::vector<BYTE> data = bytesOf(1024);
    unsigned char digestInfo[sizeof kSha1DigestInfoPrefix + 20] = {};
    std::vector<unsigned char> signature;

    explicit BareInput(const char* nickname) {
        cert = PK11_FindCertFromNickname(nickname, nullptr);
        key = cert == nullptr ? nullptr : PK11_FindKeyByAnyCert(cert, nullptr);
        memcpy(digestInfo, kSha1DigestInfoPrefix, sizeof kSha1DigestInfoPrefix);
        signature.resize(key == nullptr ? 0 : PK11_SignatureLen(key));
    }
    ~BareInput() {
        if (key != nullptr) {
            SECKEY_DestroyPrivateKey(key);
        }
        if (cert != nullptr) {
            CERT_DestroyCertificate(cert);
        }
    }
    BareInput(const BareInput&) = delete;
    BareInput& operator=(const BareInput&) = delete;

    // Hashes the data into the DigestInfo, as each signature does.
    void digest() {
        unsigned int length = 0;
        EVP_Digest(data.data(), data.size(), digestInfo + sizeof kSha1DigestInfoPrefix, &length,
                   EVP_sha1(), nullptr);
    }
};

// Bare PK11_Sign, as bench_limits measures it, but on the NSS the library opened in this process:
// run interleaved with the library's signing, the difference is the library's own share of a
// signature. `nickname` names the certificate whose key signs.
void bareSign(benchmark::State& state, const char* nickname) {
    BareInput in(nickname);
    if (in.key == nullptr) {
        state.SkipWithError("no key for the certificate");
    }
    for (auto _ : state) {
        in.digest();
        SECItem input = {siBuffer, in.digestInfo, sizeof in.digestInfo};
        SECItem output = {siBuffer, in.signature.data(),
                          static_cast<unsigned int>(in.signature.size())};
        if (PK11_Sign(in.key, &output, &input) != SECSuccess) {
            state.SkipWithError("PK11_Sign failed");
            break;
        }
    }
}

// The limit of a signature with a key that demands the PIN at every signature: C_SignInit,
// C_Login(CKU_CONTEXT_SPECIFIC) and C_Sign on one session kept open, the key found once, on the NSS
// the library opened in this process. `nickname` names the certificate whose key signs. With
// `afterPrompt`, each signature follows the same pinentry prompt as the library's, untimed: the
// token's own calls take 10-25% longer right after one here (the prompt's process leaves the
// caches and the other core busy), and that is the prompt's share, not the library's.
void bareConsentSign(benchmark::State& state, const char* nickname, bool afterPrompt) {
    BareInput in(nickname);
    SECKEYPrivateKey* key = in.key;
    CK_FUNCTION_LIST* functions =
        key == nullptr
            ? nullptr
            : static_cast<CK_FUNCTION_LIST*>(PK11_GetModule(key->pkcs11Slot)->functionList);
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    if (functions == nullptr ||
        functions->C_OpenSession(PK11_GetSlotID(key->pkcs11Slot), CKF_SERIAL_SESSION, nullptr,
                                 nullptr, &session) != CKR_OK) {
        state.SkipWithError("no key for the certificate, or no session");
    }
    CK_MECHANISM mechanism = {CKM_RSA_PKCS, nullptr, 0};
    unsigned char pin[] = "1234";
    for (auto _ : state) {
        if (session == CK_INVALID_HANDLE) {
            break;
        }
        if (afterPrompt) {
            state.PauseTiming();
            bool asked = false;
            {
                pinentry::Session prompt;  // ended here, untimed
                pinentry::Secret typed;
                asked = prompt.start("Signature", "The bare calls' prompt.", "PIN:") &&
                        prompt.ask("", &typed) == pinentry::Answer::kEntered;
            }
            state.ResumeTiming();
            if (!asked) {
                state.SkipWithError("the prompt failed");
                break;
            }
        }
        in.digest();
        CK_ULONG signatureLength = in.signature.size();
        if (functions->C_SignInit(session, &mechanism, key->pkcs11ID) != CKR_OK ||
            functions->C_Login(session, CKU_CONTEXT_SPECIFIC, pin, 4) != CKR_OK ||
            functions->C_Sign(session, in.digestInfo, sizeof in.digestInfo, in.signature.data(),
                              &signatureLength) != CKR_OK) {
            state.SkipWithError("C_SignInit, C_Login or C_Sign failed");
            break;
        }
    }
    if (session != CK_INVALID_HANDLE) {
        functions->C_CloseSession(session);
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

template <typename Function>
Function real(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

extern "C" int socketpair(int domain, int type, int protocol, int pair[2]) {
    static const auto call = real<int (*)(int, int, int, int*)>("socketpair");
    const int result = call(domain, type, protocol, pair);
    if (result == 0 && domain == AF_UNIX) {
        promptClock().socket = pair[0];
    }
    return result;
}

extern "C" int posix_spawnp(pid_t* pid, const char* file, const posix_spawn_file_actions_t* actions,
                            const posix_spawnattr_t* attributes, char* const argv[],
                            char* const envp[]) {
    static const auto call =
        real<int (*)(pid_t*, const char*, const posix_spawn_file_actions_t*,
                     const posix_spawnattr_t*, char* const[], char* const[])>("posix_spawnp");
    promptClock().spawnedAt = monotonicNs();
    const int result = call(pid, file, actions, attributes, argv, envp);
    promptClock().child = result == 0 ? *pid : 0;
    return result;
}

extern "C" ssize_t read(int fd, void* buffer, size_t count) {
    static const auto call = real<ssize_t (*)(int, void*, size_t)>("read");
    const ssize_t result = call(fd, buffer, count);
    if (fd == promptClock().socket && result > 0) {
        promptClock().lastReadAt = monotonicNs();
    }
    return result;
}

extern "C" ssize_t send(int fd, const void* buffer, size_t length, int flags) {
    static const auto call = real<ssize_t (*)(int, const void*, size_t, int)>("send");
    PromptClock& clock = promptClock();
    if (fd == clock.socket && length >= 3 && memcmp(buffer, "BYE", 3) == 0) {
        clock.byeAt = monotonicNs();
        clock.windowNs += clock.lastReadAt - clock.spawnedAt;
    }
    return call(fd, buffer, length, flags);
}

extern "C" pid_t waitpid(pid_t pid, int* status, int options) {
    static const auto call = real<pid_t (*)(pid_t, int*, int)>("waitpid");
    const pid_t result = call(pid, status, options);
    PromptClock& clock = promptClock();
    if (result > 0 && result == clock.child) {
        clock.windowNs += monotonicNs() - clock.byeAt;
        clock.child = 0;
        clock.socket = -1;
    }
    return result;
}

int main(int argc, char** argv) {
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        const bool token = strcmp(argv[i], "--token-signer") == 0;
        const bool consent = strcmp(argv[i], "--consent-signer") == 0;
        if ((token || consent || strcmp(argv[i], "--signer") == 0) && i + 1 < argc) {
            std::ifstream file(argv[++i], std::ios::binary);
            (token     ? tokenSigner
             : consent ? consentSigner
                       : signer)
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
    benchmark::RegisterBenchmark("services/notAfter", notAfterOf, &lastListed)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("services/subjectDn", subjectDnOf, &lastListed)
        ->Unit(benchmark::kMicrosecond);
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
        if (!consentSigner.empty()) {
            benchmark::RegisterBenchmark("services/consent_sign", signWithConsent, &consentSigner)
                ->UseManualTime()
                ->Unit(benchmark::kMicrosecond);
            benchmark::RegisterBenchmark("services/consent_sign_prompt_included", signData,
                                         &consentSigner)
                ->Unit(benchmark::kMicrosecond);
            benchmark::RegisterBenchmark("services/bare_consent_sign", bareConsentSign,
                                         "Bench Token:consent", true)
                ->Unit(benchmark::kMicrosecond);
            benchmark::RegisterBenchmark("services/bare_consent_sign_back_to_back", bareConsentSign,
                                         "Bench Token:consent", false)
                ->Unit(benchmark::kMicrosecond);
        }
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
