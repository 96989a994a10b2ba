// A serial port on a serial server: "rfc2217://HOST:PORT" (Telnet with the
// COM-port option, which carries the line's settings, its DTR and RTS and
// the modem's CTS, DSR and carrier) or "socket://HOST:PORT" (the bare byte
// stream, as a null-modem cable: the server's settings stand). HOST is a
// name, an IPv4 address or an IPv6 address in brackets. The device is
// written once for every system; net_serial_device_os.h holds the sockets.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/serial/net_serial_device_os.h"
#include "platform/serial/serial_device.h"

namespace tollander::platform {

struct NetPortName {
    bool telnet = false; // rfc2217:// (else socket://)
    std::string host;    // without the brackets of an IPv6 address
    std::string port;    // 1 to 65535, as written
};

// True when `device` begins with one of the two schemes (well formed or not).
bool IsNetworkPort(const std::string& device);
// The parts of a well-formed name; std::nullopt otherwise.
std::optional<NetPortName> ParseNetworkPort(const std::string& device);

// The longest an open waits for the host name's addresses, the connection
// and, over rfc2217://, the server's agreement to COM-port control, all
// together: the probe's wait for an answer on a port where nothing answers
// (36 ticks of 55 ms).
inline constexpr std::chrono::milliseconds kNetOpenLimit{1980};

// How a device looks a host up: the system's lookup (net_os::resolve), or a
// test's stand-in. It runs on a thread of its own, which an open that stopped
// waiting for it leaves to finish alone: it must own all it uses.
using NetResolver =
    std::function<net_os::Resolution(const std::string& host, const std::string& port)>;

std::unique_ptr<SerialDevice> MakeNetworkSerialDevice(NetResolver resolver = net_os::resolve);

} // namespace tollander::platform
