#include "utils.h"

#include <algorithm>
#include <cstdlib>

#include "cryptoapi/text.h"

void reverse(BYTE* buffer, int32_t count) {
    if (count >= 2) {
        std::reverse(buffer, buffer + count);
    }
}

DWORD utf16string_length(const WCHAR* string) {
    DWORD length = 0;
    while (string[length] != 0) {
        ++length;
    }
    return length;
}

char* utf16string_convert(const WCHAR* string) {
    const DWORD length = utf16string_length(string);
    char* narrow = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
    if (narrow == nullptr) {
        return nullptr;
    }
    narrowUtf16(string, length, narrow);
    narrow[length] = 0;
    return narrow;
}
