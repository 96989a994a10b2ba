// The real payload operations and the system's media player behind the
// form's interfaces.
#pragma once

#include <memory>

#include "app/devices.h"
#include "payload/integrity.h"
#include "platform/fs/self_path.h"

namespace tollander::app {

// With `self` (the program's own file, held open), SetExePath of its path
// reads that open file. With `keys`, only flashers signed by one of them
// are taken.
std::unique_ptr<PayloadOps> MakePayloadLink(const platform::SelfFile& self = {},
                                            payload::VendorKeys keys = {});
std::unique_ptr<AlertPlayer> MakeSystemPlayer();

} // namespace tollander::app
