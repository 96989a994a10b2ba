// The vendors' public keys built into the programs (the CMake option
// TOLLANDER_VENDOR_KEYS): a program that carries any refuses flashers not
// signed by one of them. Generated at build time (cmake/VendorKeys.cmake).
#pragma once

#include "payload/integrity.h"

namespace tollander::payload {

VendorKeys BuiltInVendorKeys();

} // namespace tollander::payload
