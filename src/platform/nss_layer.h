// State shared by the parts of the NSS implementation of the cryptography interface.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include <pk11pub.h>

namespace nsslayer {

// Serialises every NSS call of the layer: NSS is process-global and its shutdown and some of its
// lookups are not safe under concurrency.
std::mutex& lock();

// The slots that make up the personal store: the user's database and the tokens of the modules
// registered in it. Empty until a store has been opened. Call with lock() held; the slots stay
// referenced by the layer for the life of the process.
const std::vector<PK11SlotInfo*>& storeSlots();

// Objects handed out and not yet given back; a leak shows here (see the soak test).
struct Outstanding {
    std::atomic<long> stores{0};
    std::atomic<long> contexts{0};
    std::atomic<long> providers{0};
    std::atomic<long> hashes{0};
};
Outstanding& outstanding();

}  // namespace nsslayer
