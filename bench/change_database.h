// Rewrites the benchmark database from outside, as another process would: certutil flips the
// trust flags of its "signer" certificate, so the next listing finds the files changed.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

// The DER prefix of a SHA-1 DigestInfo; the 20-byte hash follows. Signed with CKM_RSA_PKCS, it
// gives the PKCS#1 v1.5 SHA-1 signature, as the library makes it.
inline constexpr unsigned char kSha1DigestInfoPrefix[] = {
    0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e, 0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};

inline bool changeDatabase(const std::string& directory) {
    static int round = 0;
    const std::string command = "certutil -M -d 'sql:" + directory + "' -n signer -t " +
                                (round++ % 2 == 0 ? "Pu,u,u" : "u,u,u") + " >/dev/null 2>&1";
    return system(command.c_str()) == 0;
}

// changeDatabase outside the timed region; false, with the benchmark skipped, when it failed.
inline bool changeDatabaseUntimed(benchmark::State& state, const std::string& directory) {
    state.PauseTiming();
    const bool changed = changeDatabase(directory);
    state.ResumeTiming();
    if (!changed) {
        state.SkipWithError("certutil -M failed");
    }
    return changed;
}
