// Packs the scratch world's "program", "boot.hex" and "main.hex" into a
// flasher named "packed", as the payload tests build the flasher they damage.
#pragma once

#include "tests/unit/payload_fixture.h"
#include "tools/pack/packer.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tollander::testing {

// The packed flasher's bytes; signed with `sign_key` unless it is empty.
inline std::vector<std::uint8_t> PackScratchFlasher(const std::string& sign_key = {}) {
    tools::PackOptions o;
    o.output = "packed";
    o.program = "program";
    o.boot_hex = "boot.hex";
    o.main_hex = "main.hex";
    o.boot_model = o.main_model = "xx166301";
    o.family = "Tollander";
    o.sign_key = sign_key;
    tools::Pack(o);
    return ReadBytes("packed");
}

} // namespace tollander::testing
