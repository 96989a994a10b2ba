#include "platform/stop_signals.h"

#include <cstdlib>

namespace tollander::platform {

// Windows: Ctrl+C and closing the console keep their own effect.
struct StopSignals::Watch {};

StopSignals::StopSignals() = default;
StopSignals::~StopSignals() = default;

void StopSignals::SetHandler(Handler) {}

void StopSignals::EndBy(int signal) {
    std::_Exit(128 + signal);
}

} // namespace tollander::platform
