// The device operations of a serial port: everything the serial layer asks of
// the operating system goes through SerialDevice. The termios implementation
// is made by MakeSerialDevice() (the system's serial port, or a serial
// server's port: net_serial_device.h); tests put fakes behind the same interface.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/serial/device_fault.h"

namespace tollander::platform {

// Error numbers the device layer reports (negated by the callers). They keep
// the serial layer's historical meaning, whatever the operating system said;
// last_fault() tells the finer cause.
inline constexpr int kDevNoSuchDevice = 2; // no device behind the name
inline constexpr int kDevPathNotFound = 3; // a directory of the path is missing
inline constexpr int kDevAccessDenied = 5; // held by another program, or no permission
inline constexpr int kDevOutOfMemory = 8;  // the kernel refused memory
inline constexpr int kDevNotOpen = 103;    // operation on a closed device
inline constexpr int kDevFailure = 31;     // any other failure; see last_error_text()

// The longest a sender may stand still while it sends a file: well under the
// 1.5 s a modem's boot loader waits for more of an upload before it answers
// "No RX data timeout" and goes back to its prompt, where the rest would be
// taken for commands. Only time in which nothing of the program ran counts
// (a stopped process, a suspended machine), on a clock that counts both
// (MonotonicMilliseconds); waiting for the modem's CTS, for output room or
// for the window thread does not. A write that stood still longer between
// two pieces of its bytes gives up the rest, and the send protocol ends a
// run that stood still longer between two blocks.
inline constexpr std::chrono::milliseconds kSenderStallLimit{500};

// The block a file is sent in: one byte less than the 8192-byte output queue,
// so that each block is written only when the queue is empty. The upload's
// digests are taken over the same blocks.
inline constexpr std::uint16_t kSendBlockSize = 8191;

// Control modes of the DTR and RTS lines.
enum class LineControl : std::uint8_t { disabled = 0, enabled = 1, handshake = 2, toggle = 3 };

// The line-settings block. Stop and resume levels, and the DTR handshake mode,
// are advisory on a terminal: RTS/CTS handshaking is one flag there.
struct LineSettings {
    std::int32_t baud = 9600;
    std::uint8_t data_bits = 8;
    std::uint8_t parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::uint8_t stop_bits = 0; // 0 one, 1 one and a half, 2 two
    LineControl dtr_control = LineControl::enabled;
    LineControl rts_control = LineControl::enabled;
    bool out_cts_flow = false;
    bool out_dsr_flow = false;
    bool out_x = false; // output obeys XON/XOFF
    bool in_x = false;  // input sends XON/XOFF
    char xon_char = 17;
    char xoff_char = 19;
    std::uint16_t xoff_lim = 0; // free places left when the sender is stopped
    std::uint16_t xon_lim = 0;  // bytes queued when the sender may resume
};

// Device error bits (accumulated by the record as line errors).
inline constexpr std::uint16_t kErrRxOverrun = 1;
inline constexpr std::uint16_t kErrHwOverrun = 2;
inline constexpr std::uint16_t kErrParity = 4;
inline constexpr std::uint16_t kErrFraming = 8;
inline constexpr std::uint16_t kErrBreak = 16;

struct DeviceStatus {
    std::uint16_t errors = 0;    // error bits since the last status call
    std::uint32_t in_queue = 0;  // bytes waiting in the driver's input queue
    std::uint32_t out_queue = 0; // bytes not yet sent
};

// Modem line states, as bits of the record's modem-status byte.
inline constexpr std::uint8_t kLineCts = 16;
inline constexpr std::uint8_t kLineDsr = 32;
inline constexpr std::uint8_t kLineRing = 64;
inline constexpr std::uint8_t kLineCarrier = 128;

// Device event bits of the event mask and of the word wait_event() gives.
inline constexpr std::uint32_t kEvRxChar = 1;
// The output queue drained to the level an output trigger waits for. The
// port table's event thread raises it after a wait timed to the queued bytes
// (a terminal can say "room", never "empty"); a Windows port also reports
// its own output-empty event, unasked, which ends that wait early.
inline constexpr std::uint32_t kEvTxEmpty = 4;
inline constexpr std::uint32_t kEvCts = 8;
inline constexpr std::uint32_t kEvDsr = 16;
inline constexpr std::uint32_t kEvCarrier = 32;
inline constexpr std::uint32_t kEvBreak = 64;
inline constexpr std::uint32_t kEvError = 128;
inline constexpr std::uint32_t kEvRing = 256;
inline constexpr std::uint32_t kEvRingTrailingEdge = 8192;
inline constexpr std::uint32_t kEvDefaultMask = 8697;

enum class LineFunction { set_xoff, set_xon, set_rts, clear_rts, set_dtr, clear_dtr };
enum class PurgeQueue { output = 0, input = 1 };

// Every call returns 0 (or a count) on success and a negative error number
// from the list above on failure, unless said otherwise. Calls may come from
// several threads: wait_event() runs on the event thread, read() and status()
// on the dispatcher, the rest on the caller's thread; the implementation keeps
// itself consistent.
class SerialDevice {
public:
    virtual ~SerialDevice() = default;

    // Opens the device by name ("\\.\COMn", "COMn" or a path), exclusively.
    virtual int open(const std::string& name) = 0;
    // Releases the device; a pending wait_event() returns. Safe to repeat.
    virtual void close() = 0;
    virtual bool is_open() const = 0;
    // The operating system's own words for the last failure ("" if none).
    virtual std::string last_error_text() const = 0;
    // The cause of the last failure, for the diagnostics. A line the far end
    // closed (a serial server's connection) is DeviceFault::Closed from the
    // moment it closed, with why in last_error_text(), before its hang-up
    // events are told.
    virtual DeviceFault last_fault() const { return DeviceFault::None; }

    virtual int set_queue_sizes(std::uint16_t in_size, std::uint16_t out_size) = 0;
    virtual int read_settings(LineSettings& settings) = 0;
    virtual int write_settings(const LineSettings& settings) = 0;
    // Longest time a write may wait for the device to take its bytes.
    virtual void set_write_timeout(std::uint32_t ms) = 0;

    // Reads up to n bytes already queued; never waits. Gives the count.
    virtual int read(std::uint8_t* buffer, std::size_t n) = 0;
    // Writes n bytes and waits until the device took them or the write
    // time-out passed: gives n, the negated count when fewer were taken, or 0
    // when nothing was. A write that stood still longer than
    // kSenderStallLimit while it waited for room gives up the rest. A write
    // that ends short leaves why in last_error_text(): the system's error,
    // or the limit that passed.
    virtual int write(const std::uint8_t* buffer, std::size_t n) = 0;
    // As write(), but a wait for room also ends as soon as received bytes
    // wait to be read (the modem may have given the upload up): `heard` is
    // then set, and the count is what was taken so far. A device whose
    // writes never wait for room writes as write() does.
    virtual int write_listening(const std::uint8_t* buffer, std::size_t n, bool& heard) {
        heard = false;
        return write(buffer, n);
    }
    virtual int status(DeviceStatus& status) = 0;
    virtual int purge(PurgeQueue which) = 0;
    virtual int line_function(LineFunction function) = 0;
    virtual int set_break(bool on) = 0;
    virtual int transmit_char(std::uint8_t ch) = 0;
    // Current CTS, DSR, ring and carrier states (kLine* bits). A device with
    // no modem lines reports CTS, DSR and carrier present.
    virtual int modem_lines(std::uint8_t& states) = 0;

    // A new mask ends the pending wait_event() with word 0, or the next one
    // when none is pending (a zero mask included).
    virtual int set_event_mask(std::uint32_t mask) = 0;
    // Blocks until one of the masked events happens, the mask changes or the
    // device is closed; gives the events in `word`. A device that went away
    // reports it once (received-character and carrier events) and is never
    // polled again. Negative when the wait itself failed.
    virtual int wait_event(std::uint32_t& word) = 0;
    // As wait_event(), but returns with word 0 once `ms` milliseconds passed.
    // A device that cannot time out waits as wait_event() does.
    virtual int wait_event_for(std::uint32_t& word, std::uint32_t /*ms*/) {
        return wait_event(word);
    }
};

// The device of a port: the system's serial port or a serial server's, by
// the name it is opened with.
std::unique_ptr<SerialDevice> MakeSerialDevice();

} // namespace tollander::platform
