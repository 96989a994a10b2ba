// The real payload operations and the system's media player behind the
// form's interfaces.
#pragma once

#include <memory>

#include "app/devices.h"

namespace tollander::app {

std::unique_ptr<PayloadOps> MakePayloadLink();
std::unique_ptr<AlertPlayer> MakeSystemPlayer();

} // namespace tollander::app
