// What the network serial device (net_serial_device.cpp) needs from the
// system: a host's addresses, a TCP connection made within a time limit, and
// non-blocking sends and receives on it. One implementation per system
// (net_serial_device_posix.cpp, net_serial_device_win32.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tollander::platform::net_os {

using Socket = std::intptr_t;
inline constexpr Socket kNoSocket = -1;

enum class ConnectFailure { None, Resolve, Refused, Timeout, Other };

// One address of a host, as the system gives it (its socket address's bytes).
struct Address {
    int family = 0;
    int socktype = 0;
    int protocol = 0;
    std::vector<std::uint8_t> bytes;
};

// What a lookup of host:port found: its addresses, or the failure
// (ConnectFailure::Resolve for a name the system does not know) and the
// system's words for it. Owns its copies: nothing refers to the system's list.
struct Resolution {
    ConnectFailure failure = ConnectFailure::None;
    std::string text;
    std::vector<Address> addresses;
};

// Looks host:port up; waits as long as the system's lookup does (a name
// server that does not answer keeps it for seconds).
Resolution resolve(const std::string& host, const std::string& port);

// Connects to one address within `limit_ms`; the socket is non-blocking.
// kNoSocket with the failure and the system's words for it otherwise.
Socket connect_one(const Address& address, int limit_ms, ConnectFailure& failure,
                   std::string& text);

// Bytes sent (> 0), 0 when the socket takes none now, -1 when it failed.
long SendSome(Socket s, const std::uint8_t* bytes, std::size_t n);
// Bytes received (> 0), 0 when the far end closed, -1 when none are there
// now, -2 when it failed.
long ReceiveSome(Socket s, std::uint8_t* bytes, std::size_t n);
// Waits up to `ms` for the socket to take bytes (`for_write`) or to have
// some (or its end): 1 ready, 0 time passed, -1 failed.
int WaitReady(Socket s, bool for_write, int ms);
// Ends both directions (a waiting receive returns), then frees the socket.
void Shut(Socket s);
void Release(Socket s);
// The system's words for the last failure of a call above.
std::string LastErrorText();

} // namespace tollander::platform::net_os
