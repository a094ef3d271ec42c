// What bench_services and bench_card_services measure the same way: the services' attribute
// queries and listing, and the data they sign.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "crypto.h"

// `size` bytes of data that is not all zeros.
inline std::vector<BYTE> bytesOf(size_t size) {
    std::vector<BYTE> data(size);
    for (size_t i = 0; i < size; ++i) {
        data[i] = static_cast<BYTE>(i * 131 + 7);
    }
    return data;
}

// One listing of the store; false, with the benchmark skipped, when it failed.
inline bool listOnce(benchmark::State& state) {
    int32_t code = 0;
    CertificateListNode* head = getCertificatesInMyStore(&code);
    if (code != 0 || head == nullptr) {
        state.SkipWithError("listing failed");
        return false;
    }
    freeCertificateList(head);
    return true;
}

inline void notAfterOf(benchmark::State& state, const std::vector<BYTE>* certificate) {
    for (auto _ : state) {
        FILETIME value;
        if (getCertificateTimestamp(certificate->data(), static_cast<int32_t>(certificate->size()),
                                    0, &value) != 0) {
            state.SkipWithError("getCertificateTimestamp failed");
            break;
        }
        benchmark::DoNotOptimize(value);
    }
}

inline void subjectDnOf(benchmark::State& state, const std::vector<BYTE>* certificate) {
    for (auto _ : state) {
        WCHAR* name = nullptr;
        DWORD length = 0;
        if (getCertificateDn(certificate->data(), static_cast<int32_t>(certificate->size()), 0,
                             &name, &length) != 0) {
            state.SkipWithError("getCertificateDn failed");
            break;
        }
        free(name);
    }
}
