// Selects the cryptography interface: Windows' own, or ours elsewhere.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <wincrypt.h>
#else
#include "cryptoapi/cryptoapi.h"
#endif
