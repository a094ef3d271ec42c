// Rewrites the benchmark database from outside, as another process would: certutil flips the
// trust flags of its "signer" certificate, so the next listing finds the files changed.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

// The library's own DigestInfo prefix, so that the benchmarks sign exactly what it signs.
#include "cryptoapi/digest_info.h"

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
