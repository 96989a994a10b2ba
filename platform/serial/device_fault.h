// Why a serial device could not be used, as the operating system told the
// device layer, and the words the program says about it. Every diagnostic
// (the debug lines, the row's reason, the port listing) takes its wording
// from here, so the advice for each fault is written once.
#pragma once

#include <cstdint>
#include <string>

namespace tollander::platform {

enum class DeviceFault : std::uint8_t {
    None,
    Unmapped,     // the port has no device
    Missing,      // nothing at the device's path
    NotSerial,   // something there, but no serial device
    Permission,   // the user may not open it
    Busy,         // another program holds it (exclusive or locked)
    OwnTerminal, // the terminal this program runs in
    Closed,       // the far end closed the line (a serial server's connection);
                  // the device's error text says why, in the server's words
    Other,        // anything else; the device's error text says what
};

// "permission denied", "in use by another program", "no such device", ...
// ("" for none and other).
std::string FaultReason(DeviceFault fault);

// What to do about it, for `device` (its group names the one to join);
// "" when there is nothing to advise.
std::string FaultAdvice(DeviceFault fault, const std::string& device);

// "<reason>; <advice>", either part left out when empty; `os_text` stands in
// for the reason of a fault that has no words of its own.
std::string FaultSentence(DeviceFault fault, const std::string& device,
                           const std::string& os_text = {});

} // namespace tollander::platform
