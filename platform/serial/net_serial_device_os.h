// What the network serial device (net_serial_device.cpp) needs from the
// system: a TCP connection made within a time limit, and non-blocking sends
// and receives on it. One implementation per system
// (net_serial_device_posix.cpp, net_serial_device_win32.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tollander::platform::net_os {

using Socket = std::intptr_t;
inline constexpr Socket kNoSocket = -1;

enum class ConnectFailure { none, resolve, refused, timeout, other };

// Connects to host:port (every address the name has, in turn) within
// `limit_ms`; the socket is non-blocking. kNoSocket with the failure and the
// system's words for it otherwise.
Socket connect_to(const std::string& host, const std::string& port, int limit_ms,
                  ConnectFailure& failure, std::string& text);

// Bytes sent (> 0), 0 when the socket takes none now, -1 when it failed.
long send_some(Socket s, const std::uint8_t* bytes, std::size_t n);
// Bytes received (> 0), 0 when the far end closed, -1 when none are there
// now, -2 when it failed.
long receive_some(Socket s, std::uint8_t* bytes, std::size_t n);
// Waits up to `ms` for the socket to take bytes (`for_write`) or to have
// some (or its end): 1 ready, 0 time passed, -1 failed.
int wait_ready(Socket s, bool for_write, int ms);
// Ends both directions (a waiting receive returns), then frees the socket.
void shut(Socket s);
void release(Socket s);
// The system's words for the last failure of a call above.
std::string last_error_text();

} // namespace tollander::platform::net_os
