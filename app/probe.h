// The probe of one serial port during the scan (steps 1 to 4).
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "platform/serial/device_fault.h"

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

// Diagnostics shared by the probe and the flash dialogue. The row's note
// (WindowFields::PortNote) is set on every run; the event log gets a line only
// in debug mode.

// Debug mode only: "COMn is mapped to <device>." or "COMn has no device
// mapped."
void LogPortMapping(MainForm& form, int port);

// Why an exchange on COMn failed, from the error's cause: "COMn (<device>):
// <reason>; <what to do>" (the exception's message where the cause is not
// known). Sets the row's note; logs it in debug mode.
void LogPortFailure(MainForm& form, int port, const std::exception* error);
// The same for a cause and the system's words ("<path>: <words>") known
// without an exception (a failed write of the upload).
void LogPortFailure(MainForm& form, int port, platform::DeviceFault fault,
                    const std::string& os_text);

// After COMn opened: other programs that had its device open before (the
// exclusive open keeps out only later ones) go into the row's note, and into
// the log in debug mode.
void NoteOtherHolders(MainForm& form, int port);

} // namespace tollander::app
