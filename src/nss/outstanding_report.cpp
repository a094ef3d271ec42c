// Built into the library with OSTREL_COUNT_OBJECTS: reports at exit what the layer handed out and
// never got back, so that a soak or end-to-end run can fail on a leaked store, certificate,
// provider or hash.
#include <cstdio>

#include "nss/outstanding.h"

namespace {

__attribute__((destructor)) void reportOutstanding() {
    const nsslayer::Outstanding& o = nsslayer::outstanding();
    const long stores = o.stores.load(), contexts = o.contexts.load(),
               providers = o.providers.load(), hashes = o.hashes.load();
    if (stores == 0 && contexts == 0 && providers == 0 && hashes == 0) {
        fprintf(stderr, "ostrel: nothing outstanding at exit\n");
    } else {
        fprintf(stderr,
                "ostrel: OUTSTANDING at exit: stores=%ld contexts=%ld providers=%ld hashes=%ld\n",
                stores, contexts, providers, hashes);
    }
}

}  // namespace
