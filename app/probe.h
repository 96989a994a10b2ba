// The probe of one serial port during the scan (steps 1 to 4).
#pragma once

#include <cstdint>

namespace tollander::app {

class MainForm;

class Probe {
public:
    explicit Probe(MainForm& form) : form_(form) {}

    // Probes COM`port` (1..4) through form.ComPort1(): fills the port's row,
    // the flags and ModemCount, ticks the box through its handler, logs its
    // findings. Always ends with StepNumber := port + 1, Timer1 started and
    // the port closed. Its protected block must let StepAborted through.
    void ProbePort(std::uint8_t port);

private:
    MainForm& form_;
};

} // namespace tollander::app
