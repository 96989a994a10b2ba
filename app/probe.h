// The probe of one serial port during the scan (steps 1 to 4).
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace tollander::app {

class MainForm;

class Probe {
public:
    explicit Probe(MainForm& form) : form_(form) {}

    // Probes COM`port` (1..4) through form.ComPort1(): fills the port's row,
    // the flags and ModemCount, ticks the box through its handler, logs its
    // findings. Always ends with StepNumber := port + 1, Timer1 started and
    // the port closed. Its protected block lets StepAborted through.
    void ProbePort(std::uint8_t port);

private:
    MainForm& form_;
};

// Debug-mode diagnostics shared by the probe and the flash dialogue. They
// write nothing unless the sequencer's DebugMode is on.

// "COMn is mapped to <device>." or "COMn has no device mapped."
void LogPortMapping(MainForm& form, int port);

// Why an exchange on COMn failed: the device, the operating system's reason
// (or the exception's message) and, for a permission problem, how to mend it.
void LogPortFailure(MainForm& form, int port, const std::exception* error);

} // namespace tollander::app
