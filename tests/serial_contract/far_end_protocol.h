// How the Windows half of the contract suite (win32_contract_test.cpp) plays
// the far end of its COM1, a pseudo-terminal that only Linux can reach: over
// a loopback TCP connection to the Linux test that runs it
// (far_end_server.h). Each connection is a fresh line; its commands, one
// byte each with little-endian 32-bit arguments:
//   on connect           the server answers kReady once COM1 leads to the line
//   kSend n, bytes       the far end writes the bytes; answers kDone
//   kReceive n, ms       reads up to n bytes within ms; answers n', bytes
//   kHangUp              the far end goes; answers kDone
// Closing the connection ends the line.
#pragma once

namespace tollander::test::far_end {

inline constexpr char kReady = 'r';
inline constexpr char kDone = 'k';
inline constexpr char kSend = 'S';
inline constexpr char kReceive = 'R';
inline constexpr char kHangUp = 'H';

// The variable that gives the Windows program the server's "host:port".
inline constexpr const char* kVariable = "TOLLANDER_FAR_END";

} // namespace tollander::test::far_end
