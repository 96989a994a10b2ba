#include "app/probe.h"

#include "app/main_form.h"

namespace tollander::app {

// Minimal for now: the port is selected and left closed; what answers on it
// is not looked at yet.
void Probe::ProbePort(std::uint8_t port) {
    auto& com = form_.ComPort1();
    com.SetComNumber(port);
    form_.Pause(300);
    form_.sequencer().StepNumber = static_cast<std::uint16_t>(port + 1);
    form_.StartTimer1();
    com.SetOpen(false);
}

} // namespace tollander::app
