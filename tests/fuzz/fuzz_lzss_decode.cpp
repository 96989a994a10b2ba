// Any byte string is a body: decoding must stay in bounds. Coding the same
// bytes must give exactly the plain reference coder's body, which decodes
// back to them.
#include "payload/lzss.h"
#include "tests/unit/lzss_reference.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

using namespace tollander::payload;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    (void)LzssDecode(input);
    const auto body = LzssEncode(input);
    if (body != lzss_reference::ReferenceEncoder(true).Encode({data, data + size})) {
        __builtin_trap();
    }
    const auto back = LzssDecode(body);
    if (back.size() != size || !std::equal(back.begin(), back.end(), data)) __builtin_trap();
    return 0;
}
