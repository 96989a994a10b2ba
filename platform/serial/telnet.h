// The Telnet side of a network serial port: the byte stream a serial server
// sends, split into the line's data and the commands between them, the
// answers this end gives to the server's option requests, and the COM-port
// control commands (RFC 2217) it sends. No system calls: the device
// (net_serial_device.cpp) moves the bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tollander::platform::telnet {

inline constexpr std::uint8_t kIac = 255;
inline constexpr std::uint8_t kDont = 254;
inline constexpr std::uint8_t kDo = 253;
inline constexpr std::uint8_t kWont = 252;
inline constexpr std::uint8_t kWill = 251;
inline constexpr std::uint8_t kSb = 250;
inline constexpr std::uint8_t kSe = 240;

inline constexpr std::uint8_t kBinary = 0;
inline constexpr std::uint8_t kSuppressGoAhead = 3;
inline constexpr std::uint8_t kComPort = 44;

// COM-port commands, as this end sends them; the server answers each with
// the same code plus kServerOffset.
enum ComPortCommand : std::uint8_t {
    kSetBaudRate = 1,
    kSetDataSize = 2,
    kSetParity = 3,
    kSetStopSize = 4,
    kSetControl = 5,
    kFlowControlSuspend = 8,
    kFlowControlResume = 9,
    kSetLineStateMask = 10,
    kSetModemStateMask = 11,
    kPurgeData = 12,
};
inline constexpr std::uint8_t kServerOffset = 100;
inline constexpr std::uint8_t kNotifyModemState = 107;
inline constexpr std::uint8_t kServerSuspend = 108;
inline constexpr std::uint8_t kServerResume = 109;

// What the stream held besides data.
struct Event {
    enum class Kind : std::uint8_t {
        Negotiation, // `code` is the verb (kWill .. kDont), `value` the option
        ComPort,    // a COM-port command of the server: `code` and its first byte
        Malformed,   // a command that breaks the protocol, dropped
    };
    Kind kind;
    std::uint8_t code = 0;
    std::uint8_t value = 0;
};

// Splits the server's stream; keeps its state between pieces, so a command
// may arrive cut anywhere.
class Parser {
public:
    // Appends the data of `n` bytes to `data` (never more than n bytes) and
    // what else they held to `events` (never more than n events).
    void Feed(const std::uint8_t* bytes, std::size_t n, std::vector<std::uint8_t>& data,
              std::vector<Event>& events);

    // The longest subnegotiation kept; a longer one is malformed.
    static constexpr std::size_t kMaxSubnegotiation = 64;

private:
    enum class State : std::uint8_t { Data, Iac, Verb, SbOption, SbData, SbIac };
    void EndSubnegotiation(std::vector<Event>& events);

    State state_ = State::Data;
    std::uint8_t verb_ = 0;
    std::uint8_t sb_option_ = 0;
    bool sb_overflow_ = false;
    std::vector<std::uint8_t> sb_;
};

// This end's side of the option negotiation: binary both ways, go-ahead
// suppressed both ways, COM-port control offered; everything else refused.
// An answer is given only when an option's state changes, so no stream of
// requests makes a loop.
class Negotiator {
public:
    // The requests this end opens with.
    std::vector<std::uint8_t> Opening();
    // The answer to one negotiation event (appended to `out`).
    void Answer(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& out);

    bool ComPortAgreed() const { return com_port_ == Agreement::Agreed; }
    bool ComPortRefused() const { return com_port_ == Agreement::Refused; }

private:
    enum class Agreement : std::uint8_t { Pending, Agreed, Refused };
    static bool Wanted(std::uint8_t option);
    std::array<bool, 256> ours_{};        // we do it
    std::array<bool, 256> ours_asked_{};  // we offered, no answer yet
    std::array<bool, 256> theirs_{};      // the server does it
    std::array<bool, 256> theirs_asked_{};
    std::array<bool, 256> refused_{};     // refused once, not again
    Agreement com_port_ = Agreement::Pending;
};

// Appends `n` data bytes with every IAC doubled.
void Escape(const std::uint8_t* bytes, std::size_t n, std::vector<std::uint8_t>& out);
// Appends one COM-port command with its value bytes, escaped.
void AppendComPortCommand(std::uint8_t command, const std::vector<std::uint8_t>& value,
                      std::vector<std::uint8_t>& out);

} // namespace tollander::platform::telnet
