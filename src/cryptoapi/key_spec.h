// The key spec a certificate's key answers to, as on Windows.
#pragma once

#include "cryptoapi/cryptoapi.h"

// An RSA key answers AT_KEYEXCHANGE when its certificate allows keyEncipherment or states no key
// usage, else AT_SIGNATURE (as signature-only smart-card keys do). Any other key is reported as
// AT_SIGNATURE; the provider refuses it under both specs. Reads only the decoded certificate.
DWORD keySpecOf(const CERT_INFO* info);
