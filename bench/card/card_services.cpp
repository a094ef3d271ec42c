// The library's services without a JVM beside a smart card (bench/card/run.sh sets the card stack
// up): an unchanged listing and attribute queries of a database certificate and, with --sign, the
// card's signature after one login beside a bare C_SignInit + C_Sign through OpenSC.
//
//   HOME=... bench_card_services --card DIR --expect N [--sign] [--benchmark_... flags]
//
// DIR holds the card's certificates card1.der ... card3.der; N is how many certificates the store
// must list. Signing logs in through the pinentry the environment names.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bare_signer.h"
#include "crypto.h"
#include "error_register.h"
#include "service_loops.h"

// Normally owned by the native-method module, which this program leaves out.
std::atomic<int32_t> lastError{0};

namespace {

constexpr const char* kOpenSc = "/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so";

std::vector<BYTE> databaseCertificate;  // the database's certificate a store scan reaches last
std::vector<BYTE> cardSigner;           // card1.der
BareSigner bare;

std::vector<BYTE> readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void list(benchmark::State& state) {
    for (auto _ : state) {
        if (!listOnce(state)) {
            break;
        }
    }
}

// The library's signature with the card's key; empty on failure.
std::vector<BYTE> librarySignature(const std::vector<BYTE>& data) {
    BYTE* signature = nullptr;
    DWORD length = 0;
    if (sign(cardSigner.data(), static_cast<int32_t>(cardSigner.size()), data.data(),
             static_cast<int32_t>(data.size()), &signature, &length) != 0) {
        return {};
    }
    std::vector<BYTE> out(signature, signature + length);
    free(signature);
    return out;
}

void librarySign(benchmark::State& state) {
    const std::vector<BYTE> data = bytesOf(1024);
    for (auto _ : state) {
        if (librarySignature(data).empty()) {
            state.SkipWithError("sign failed");
            break;
        }
    }
}

void bareSign(benchmark::State& state) {
    const std::vector<BYTE> data = bytesOf(1024);
    std::vector<unsigned char> signature;
    for (auto _ : state) {
        if (!bare.sign(data.data(), data.size(), &signature)) {
            state.SkipWithError("C_SignInit or C_Sign failed");
            break;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<char*> rest;
    std::string cardDir;
    long expect = -1;
    bool signing = false;
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "--card") == 0 && i + 1 < argc) {
            cardDir = argv[++i];
        } else if (strcmp(argv[i], "--expect") == 0 && i + 1 < argc) {
            expect = strtol(argv[++i], nullptr, 10);
        } else if (strcmp(argv[i], "--sign") == 0) {
            signing = true;
        } else {
            rest.push_back(argv[i]);
        }
    }
    std::vector<std::vector<BYTE>> card;
    for (int i = 1; i <= 3; ++i) {
        card.push_back(readFile(cardDir + "/card" + std::to_string(i) + ".der"));
    }
    cardSigner = card[0];
    int32_t code = 0;
    CertificateListNode* head = getCertificatesInMyStore(&code);
    long listed = 0;
    for (CertificateListNode* node = head; node != nullptr; node = node->next, ++listed) {
        const std::vector<BYTE> bytes(node->data, node->data + node->length);
        bool onCard = false;
        for (const auto& c : card) {
            onCard = onCard || c == bytes;
        }
        // Newest enumeration first: the first database certificate is the one scanned last.
        if (!onCard && databaseCertificate.empty()) {
            databaseCertificate = bytes;
        }
    }
    freeCertificateList(head);
    if (cardSigner.empty() || listed != expect || databaseCertificate.empty()) {
        fprintf(stderr,
                "bench_card_services: the store lists %ld certificates, not %ld (code %d)\n",
                listed, expect, code);
        return 2;
    }
    // Sized by elapsed time: a call that waits for the card costs this thread little CPU time,
    // which would make Google Benchmark run hundreds of them for every repetition.
    benchmark::RegisterBenchmark("card/services/list", list)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("card/services/notAfter", notAfterOf, &databaseCertificate)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("card/services/subjectDn", subjectDnOf, &databaseCertificate)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
    if (signing) {
        // The first signature logs in; both sides then sign exactly the same bytes (PKCS#1 v1.5
        // is deterministic).
        const std::vector<BYTE> data = bytesOf(1024);
        const std::vector<BYTE> first = librarySignature(data);
        if (first.empty()) {
            fprintf(stderr, "bench_card_services: signing on the card failed (code %d)\n",
                    lastError.load());
            return 2;
        }
        const std::string error = bare.open(kOpenSc, cardSigner);
        std::vector<unsigned char> reference;
        if (!error.empty() || !bare.sign(data.data(), data.size(), &reference) ||
            reference != first) {
            fprintf(stderr, "bench_card_services: bare signer: %s\n",
                    error.empty() ? "its signature differs from the library's" : error.c_str());
            return 2;
        }
        benchmark::RegisterBenchmark("card/services/sign", librarySign)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("card/services/bare_sign", bareSign)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
    }
    int count = static_cast<int>(rest.size());
    benchmark::Initialize(&count, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    bare.close();
    return 0;
}
