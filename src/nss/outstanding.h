// Counts of what the layer handed out and has not got back: stores, certificate contexts,
// providers and hashes. With OSTREL_COUNT_OBJECTS the library reports them at exit
// (outstanding_report.cpp), so that a soak or end-to-end run fails on a leak.
#pragma once

#include <atomic>

namespace nsslayer {

struct Outstanding {
    std::atomic<long> stores{0};
    std::atomic<long> contexts{0};
    std::atomic<long> providers{0};
    std::atomic<long> hashes{0};
};

// Lives for the process; updated with relaxed atomics, no lock.
Outstanding& outstanding();

}  // namespace nsslayer
