// A serial port on a serial server: "rfc2217://HOST:PORT" (Telnet with the
// COM-port option, which carries the line's settings, its DTR and RTS and
// the modem's CTS, DSR and carrier) or "socket://HOST:PORT" (the bare byte
// stream, as a null-modem cable: the server's settings stand). HOST is a
// name, an IPv4 address or an IPv6 address in brackets. The device is
// written once for every system; net_serial_device_os.h holds the sockets.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "platform/serial/serial_device.h"

namespace tollander::platform {

struct NetPortName {
    bool telnet = false; // rfc2217:// (else socket://)
    std::string host;    // without the brackets of an IPv6 address
    std::string port;    // 1 to 65535, as written
};

// True when `device` begins with one of the two schemes (well formed or not).
bool is_network_port(const std::string& device);
// The parts of a well-formed name; std::nullopt otherwise.
std::optional<NetPortName> parse_network_port(const std::string& device);

// The longest an open waits for the server to connect and, over rfc2217://,
// to agree to COM-port control: the probe's wait for an answer on a port
// where nothing answers (36 ticks of 55 ms).
inline constexpr std::chrono::milliseconds kNetOpenLimit{1980};

std::unique_ptr<SerialDevice> make_network_serial_device();

} // namespace tollander::platform
