// Byte and UTF-16 helpers for the signing service.
#pragma once

#include <cstdint>

#include "cryptoapi/platform.h"

// Reverses the first `count` bytes of `buffer` in place; a count below 2 changes nothing.
void reverse(BYTE* buffer, int32_t count);

// The number of 16-bit units before the first 0 unit.
DWORD utf16string_length(const WCHAR* string);

// A new null-terminated 8-bit string holding the low byte of each unit of `string` (no code-page
// conversion). The caller releases it with free(). Returns null when the heap cannot supply it.
char* utf16string_convert(const WCHAR* string);
