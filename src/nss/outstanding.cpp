#include "nss/outstanding.h"

namespace nsslayer {

Outstanding& outstanding() {
    static Outstanding* counts = new Outstanding;  // never destroyed: read by an exit report
    return *counts;
}

}  // namespace nsslayer
