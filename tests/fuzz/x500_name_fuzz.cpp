// The name renderer and the alternative-name search on arbitrary bytes.
#include <cstdint>
#include <string>

#include "cryptoapi/x500_name.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::u16string text;
    renderX500Name(data, size, &text);
    const uint8_t* name = nullptr;
    size_t nameLength = 0;
    if (findDirectoryName(data, size, &name, &nameLength)) {
        renderX500Name(name, nameLength, &text);
    }
    return 0;
}
