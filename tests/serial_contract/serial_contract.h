// What every serial device (platform/serial/serial_device.h) promises, written
// once and run against each implementation on a line whose far end the test
// plays: the POSIX device on a pseudo-terminal (posix_contract_test.cpp), the
// Win32 device under Wine on a pseudo-terminal mapped as COM1
// (win32_contract_test.cpp), the network device on a serial server played
// on the loopback address (net_contract_test.cpp). An implementation joins
// with a Line class:
//
//   struct SomeLine {
//       // nullptr when the case applies, else why it is skipped:
//       static constexpr const char* kNoPermissions;   // a user refused for permission
//       static constexpr const char* kSharesHeldPorts; // a second device refused as busy
//       static constexpr const char* kNoModemLines;    // the far end's modem lines show
//       void set_modem_lines(std::uint8_t kLine_bits); // only where kNoModemLines is nullptr
//       std::string Unavailable() const;  // "" when the line is there, else why not
//       std::string Port() const;         // the name the device opens
//       void Send(std::string_view bytes);                      // the far end writes
//       std::string Receive(std::size_t n, std::chrono::milliseconds limit); // reads
//       void HangUp();                   // the far end goes, as a pulled adapter
//       // Ports it cannot open (one with nothing behind it, one with something
//       // that is no serial device, ...) and how the device says so.
//       std::vector<Unopenable> unopenable_ports() const;
//       static std::string UnmappedPort();   // one mapped to no device at all
//       // The open of a user who may not use the line's device.
//       static OpenResult OpenAsStranger(const SomeLine&);
//   };
//
// and INSTANTIATE_TYPED_TEST_SUITE_P(Name, SerialContract, SomeLine).
#pragma once

#include "platform/serial/port_map.h"
#include "platform/serial/serial_device.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace tollander::test {

using namespace std::chrono_literals;

struct OpenResult {
    int rc = 0;
    platform::DeviceFault fault = platform::DeviceFault::None;
    std::string text;
    std::string skipped; // why the case cannot be made here ("" when it was)
};

// A port the device cannot open, and how it says so: the fault, and the
// words its error text begins with after "<the port's path>: " ("" where the
// system's words follow).
struct Unopenable {
    std::string port;
    platform::DeviceFault fault = platform::DeviceFault::Other;
    std::string words;
};

// Every byte value, so that no translation or flow character hides.
inline std::string EveryByte() {
    std::string bytes(256, '\0');
    for (int i = 0; i < 256; ++i)
        bytes[static_cast<std::size_t>(i)] = static_cast<char>(i);
    return bytes;
}

template <class Line> class SerialContract : public ::testing::Test {
protected:
    void SetUp() override {
        if (const std::string why = line.Unavailable(); !why.empty()) GTEST_SKIP() << why;
    }
    void TearDown() override {
        if (device) device->close();
    }

    // Opens the line's port with plain settings: 9600 8N1, no flow control.
    void OpenPlain() {
        ASSERT_EQ(device->open(line.Port()), 0) << device->last_error_text();
        ASSERT_EQ(device->write_settings(platform::LineSettings{}), 0)
            << device->last_error_text();
    }

    // Reads what the device received until `n` bytes came (or the guard passed).
    std::string ReadAtLeast(std::size_t n) {
        device->set_event_mask(platform::kEvRxChar);
        std::string got;
        const auto guard = std::chrono::steady_clock::now() + 10s;
        while (got.size() < n && std::chrono::steady_clock::now() < guard) {
            std::uint8_t buffer[4096];
            const int r = device->read(buffer, sizeof buffer);
            if (r < 0) break;
            if (r > 0) {
                got.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(r));
                continue;
            }
            std::uint32_t word = 0;
            device->wait_event_for(word, 200);
        }
        return got;
    }

    // The path a failure on `port` names.
    static std::string PathOf(const std::string& port) { return platform::DevicePathFor(port); }

    Line line;
    std::unique_ptr<platform::SerialDevice> device = platform::MakeSerialDevice();
};

TYPED_TEST_SUITE_P(SerialContract);

TYPED_TEST_P(SerialContract, OpensItsPortAndKeepsTheSettingsItWasGiven) {
    ASSERT_EQ(this->device->open(this->line.Port()), 0) << this->device->last_error_text();
    EXPECT_TRUE(this->device->is_open());
    EXPECT_EQ(this->device->last_error_text(), "");
    EXPECT_EQ(this->device->set_queue_sizes(8192, 8192), 0) << this->device->last_error_text();
    platform::LineSettings upgrade; // what the upgrade runs at
    upgrade.baud = 115200;
    upgrade.rts_control = platform::LineControl::handshake;
    upgrade.out_cts_flow = true;
    // A pseudo-terminal keeps eight bits without parity whatever it is told:
    // the settings are those every line keeps.
    platform::LineSettings two_stop_bits;
    two_stop_bits.baud = 19200;
    two_stop_bits.stop_bits = 2;
    for (const auto& want : {upgrade, two_stop_bits}) {
        SCOPED_TRACE(want.baud);
        ASSERT_EQ(this->device->write_settings(want), 0) << this->device->last_error_text();
        platform::LineSettings got;
        ASSERT_EQ(this->device->read_settings(got), 0) << this->device->last_error_text();
        EXPECT_EQ(got.baud, want.baud);
        EXPECT_EQ(got.data_bits, want.data_bits);
        EXPECT_EQ(got.parity, want.parity);
        EXPECT_EQ(got.stop_bits, want.stop_bits);
        EXPECT_EQ(got.out_cts_flow, want.out_cts_flow);
        EXPECT_EQ(got.out_x, false);
        EXPECT_EQ(got.in_x, false);
    }
}

TYPED_TEST_P(SerialContract, EveryByteValuePassesBothWaysUnchanged) {
    this->OpenPlain();
    const std::string bytes = EveryByte();
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    ASSERT_EQ(this->device->write(data, bytes.size()), static_cast<int>(bytes.size()))
        << this->device->last_error_text();
    EXPECT_EQ(this->line.Receive(bytes.size(), 10s), bytes);
    this->line.Send(bytes);
    EXPECT_EQ(this->ReadAtLeast(bytes.size()), bytes);
}

// Nobody reads the far end: the write ends at its time-out, short, with the
// count the device took, and those bytes (no others) reach the far end.
TYPED_TEST_P(SerialContract, AWriteWithNoRoomEndsAtItsTimeOutWithWhatWasTaken) {
    this->OpenPlain();
    constexpr auto kTimeOut = 300ms;
    this->device->set_write_timeout(static_cast<std::uint32_t>(kTimeOut.count()));
    std::string bytes(1 << 20, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>('a' + i % 26);
    const auto start = std::chrono::steady_clock::now();
    const int r = this->device->write(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                      bytes.size());
    const auto waited = std::chrono::steady_clock::now() - start;
    ASSERT_LE(r, 0) << "a megabyte fit into a line nobody reads";
    // The wait lasted its time-out (a timer tick's grace for the system's clock).
    EXPECT_GE(waited, kTimeOut - 20ms);
    EXPECT_EQ(this->device->last_error_text().rfind(this->PathOf(this->line.Port()) + ": ", 0), 0u)
        << this->device->last_error_text();
    const std::size_t taken = static_cast<std::size_t>(-r);
    EXPECT_EQ(this->line.Receive(taken, 10s), bytes.substr(0, taken));
    EXPECT_EQ(this->line.Receive(1, 200ms), "") << "more arrived than the write counted";
    // With room again, a write goes out whole.
    const std::uint8_t at[] = {'A', 'T', '\r'};
    EXPECT_EQ(this->device->write(at, sizeof at), 3) << this->device->last_error_text();
    EXPECT_EQ(this->line.Receive(3, 10s), "AT\r");
}

// The control lines can be set, and the lines in read as a modem that is
// there does: a line with modem lines answers with its own, one without
// reports CTS, DSR and carrier present.
TYPED_TEST_P(SerialContract, ModemLinesReadAsAModemThatIsThere) {
    this->OpenPlain();
    using platform::LineFunction;
    for (const auto f : {LineFunction::clear_dtr, LineFunction::set_dtr, LineFunction::clear_rts,
                         LineFunction::set_rts})
        EXPECT_EQ(this->device->line_function(f), 0) << this->device->last_error_text();
    std::uint8_t lines = 0;
    ASSERT_EQ(this->device->modem_lines(lines), 0);
    EXPECT_EQ(lines & (platform::kLineCts | platform::kLineDsr | platform::kLineCarrier),
              platform::kLineCts | platform::kLineDsr | platform::kLineCarrier)
        << static_cast<int>(lines);
}

// A line with modem lines: the device reads those of the far end's modem,
// and tells each change as its event.
TYPED_TEST_P(SerialContract, ModemLinesFollowTheFarEnd) {
    if constexpr (TypeParam::kNoModemLines != nullptr) {
        GTEST_SKIP() << TypeParam::kNoModemLines;
    } else {
        using namespace platform;
        this->OpenPlain();
        auto& dev = *this->device;
        dev.set_event_mask(kEvDefaultMask);
        constexpr std::uint32_t kLineEvents = kEvCts | kEvDsr | kEvCarrier | kEvRing |
                                              kEvRingTrailingEdge;
        const struct {
            std::uint8_t lines;
            std::uint32_t events;
        } steps[] = {
            {kLineDsr | kLineCarrier, kEvCts},                             // CTS drops
            {kLineDsr | kLineCarrier | kLineRing, kEvRing},                // it rings
            {kLineCts | kLineCarrier, kEvCts | kEvDsr | kEvRingTrailingEdge}, // and stops
            {0, kEvCts | kEvCarrier},                                      // the call ends
        };
        for (const auto& step : steps) {
            SCOPED_TRACE(static_cast<int>(step.lines));
            this->line.set_modem_lines(step.lines);
            std::uint32_t seen = 0;
            const auto guard = std::chrono::steady_clock::now() + 10s;
            while ((seen & step.events) != step.events && std::chrono::steady_clock::now() < guard) {
                std::uint32_t word = 0;
                dev.wait_event_for(word, 100);
                seen |= word;
            }
            EXPECT_EQ(seen & kLineEvents, step.events);
            std::uint8_t lines = 0xFF;
            ASSERT_EQ(dev.modem_lines(lines), 0);
            EXPECT_EQ(lines, step.lines);
        }
    }
}

TYPED_TEST_P(SerialContract, EventWaitsEndOnAMaskSetBeforeThemOnTheirLimitAndOnABytesArrival) {
    this->OpenPlain();
    auto& dev = *this->device;
    // A stop that sets the mask just before the event thread waits again
    // must still end that wait.
    dev.set_event_mask(platform::kEvDefaultMask);
    std::uint32_t word = 1;
    auto waited = std::async(std::launch::async, [&] { return dev.wait_event(word); });
    if (waited.wait_for(10s) != std::future_status::ready) {
        dev.set_event_mask(platform::kEvDefaultMask); // free the thread
        FAIL() << "the mask set before the wait did not end it";
    }
    EXPECT_EQ(waited.get(), 0);
    EXPECT_EQ(word, 0u);
    word = 1;
    EXPECT_EQ(dev.wait_event_for(word, 20), 0); // nothing happens: the limit ends it
    EXPECT_EQ(word, 0u);
    this->line.Send("x");
    EXPECT_EQ(dev.wait_event_for(word, 10000), 0);
    EXPECT_EQ(word, platform::kEvRxChar);
}

// Close while the event thread waits on the device: close returns within
// the guard and the wait ends.
TYPED_TEST_P(SerialContract, CloseEndsThePendingWait) {
    this->OpenPlain();
    auto& dev = *this->device;
    dev.set_event_mask(platform::kEvDefaultMask);
    std::atomic<bool> stop{false};
    std::promise<void> ended;
    std::thread events([&] {
        std::uint32_t word = 0;
        while (!stop)
            dev.wait_event(word);
        ended.set_value();
    });
    std::promise<void> closed;
    std::thread closer([&] {
        dev.close();
        closed.set_value();
    });
    if (closed.get_future().wait_for(10s) != std::future_status::ready) {
        ADD_FAILURE() << "close() still blocked after 10 s";
        // Left as they are: the process ends with the test program.
        closer.detach();
        events.detach();
        (void)this->device.release();
        return;
    }
    closer.join();
    stop = true;
    dev.set_event_mask(0); // as the port table does after the close
    if (ended.get_future().wait_for(10s) != std::future_status::ready) {
        ADD_FAILURE() << "the event thread's wait did not end";
        events.detach();
        (void)this->device.release();
        return;
    }
    events.join();
    EXPECT_FALSE(dev.is_open());
}

// The far end goes: the carrier goes with it (once the device saw it gone),
// and a write fails short, naming the device.
TYPED_TEST_P(SerialContract, AFarEndThatHangsUpTakesTheCarrierAndFailsTheWrite) {
    this->OpenPlain();
    auto& dev = *this->device;
    dev.set_event_mask(platform::kEvDefaultMask);
    this->line.HangUp();
    const auto guard = std::chrono::steady_clock::now() + 30s;
    std::uint8_t lines = platform::kLineCarrier;
    while (lines != 0 && std::chrono::steady_clock::now() < guard) {
        std::uint32_t word = 0;
        dev.wait_event_for(word, 100);
        std::uint8_t byte = 0;
        dev.read(&byte, 1);
        dev.modem_lines(lines);
    }
    EXPECT_EQ(lines, 0) << "the line never went";
    const std::uint8_t at[] = {'A', 'T', '\r'};
    EXPECT_LE(dev.write(at, sizeof at), 0);
    EXPECT_EQ(dev.last_error_text().rfind(this->PathOf(this->line.Port()) + ": ", 0), 0u)
        << dev.last_error_text();
}

TYPED_TEST_P(SerialContract, AClosedDeviceRefusesReadsAndWritesAndOpensAgain) {
    this->OpenPlain();
    auto& dev = *this->device;
    dev.close();
    dev.close(); // safe to repeat
    EXPECT_FALSE(dev.is_open());
    std::uint8_t byte = 0;
    EXPECT_EQ(dev.read(&byte, 1), -platform::kDevNotOpen);
    EXPECT_EQ(dev.write(&byte, 1), 0);
    EXPECT_NE(dev.last_error_text(), "");
    std::uint8_t lines = 0;
    EXPECT_EQ(dev.modem_lines(lines), -platform::kDevNotOpen);
    platform::LineSettings settings;
    EXPECT_EQ(dev.read_settings(settings), -platform::kDevNotOpen);
    EXPECT_EQ(dev.write_settings(settings), -platform::kDevNotOpen);
    ASSERT_EQ(dev.open(this->line.Port()), 0) << dev.last_error_text();
    const std::uint8_t at[] = {'A', 'T', '\r'};
    EXPECT_EQ(dev.write(at, sizeof at), 3) << dev.last_error_text();
    EXPECT_EQ(this->line.Receive(3, 10s), "AT\r");
}

TYPED_TEST_P(SerialContract, OpenErrorsComeByKind) {
    using platform::DeviceFault;
    struct Case {
        std::string port;
        int rc;
        DeviceFault fault;
        std::string text_begins;
    };
    const std::string unmapped = TypeParam::UnmappedPort();
    std::vector<Case> cases = {{unmapped, -platform::kDevNoSuchDevice, DeviceFault::Unmapped,
                                unmapped + ": no device for this port"}};
    for (const Unopenable& u : this->line.unopenable_ports())
        cases.push_back({u.port, -platform::kDevNoSuchDevice, u.fault,
                         this->PathOf(u.port) + ": " + u.words});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.port);
        auto dev = platform::MakeSerialDevice();
        EXPECT_EQ(dev->open(c.port), c.rc);
        EXPECT_FALSE(dev->is_open());
        EXPECT_EQ(dev->last_fault(), c.fault);
        EXPECT_EQ(dev->last_error_text().rfind(c.text_begins, 0), 0u) << dev->last_error_text();
    }
}

TYPED_TEST_P(SerialContract, ASecondOpenOfAHeldPortIsRefusedAsBusy) {
    if (TypeParam::kSharesHeldPorts != nullptr) GTEST_SKIP() << TypeParam::kSharesHeldPorts;
    this->OpenPlain();
    auto second = platform::MakeSerialDevice();
    EXPECT_EQ(second->open(this->line.Port()), -platform::kDevAccessDenied);
    EXPECT_EQ(second->last_fault(), platform::DeviceFault::Busy);
    EXPECT_FALSE(second->is_open());
    this->device->close();
    EXPECT_EQ(second->open(this->line.Port()), 0) << second->last_error_text();
    second->close();
}

TYPED_TEST_P(SerialContract, AnOpenDeviceRefusesToOpenAgain) {
    this->OpenPlain();
    EXPECT_EQ(this->device->open(this->line.Port()), -platform::kDevAccessDenied);
    EXPECT_EQ(this->device->last_fault(), platform::DeviceFault::Busy);
    EXPECT_TRUE(this->device->is_open());
    const std::uint8_t at[] = {'A', 'T', '\r'};
    EXPECT_EQ(this->device->write(at, sizeof at), 3) << this->device->last_error_text();
    EXPECT_EQ(this->line.Receive(3, 10s), "AT\r");
}

TYPED_TEST_P(SerialContract, AUserWhoMayNotUseTheDeviceIsRefusedForPermission) {
    if (TypeParam::kNoPermissions != nullptr) GTEST_SKIP() << TypeParam::kNoPermissions;
    const OpenResult r = TypeParam::OpenAsStranger(this->line);
    if (!r.skipped.empty()) GTEST_SKIP() << r.skipped;
    EXPECT_EQ(r.rc, -platform::kDevAccessDenied) << r.text;
    EXPECT_EQ(r.fault, platform::DeviceFault::Permission) << r.text;
    EXPECT_EQ(r.text.rfind(this->PathOf(this->line.Port()) + ": ", 0), 0u) << r.text;
}

REGISTER_TYPED_TEST_SUITE_P(SerialContract, OpensItsPortAndKeepsTheSettingsItWasGiven,
                            EveryByteValuePassesBothWaysUnchanged,
                            AWriteWithNoRoomEndsAtItsTimeOutWithWhatWasTaken,
                            ModemLinesReadAsAModemThatIsThere, ModemLinesFollowTheFarEnd,
                            EventWaitsEndOnAMaskSetBeforeThemOnTheirLimitAndOnABytesArrival,
                            CloseEndsThePendingWait,
                            AFarEndThatHangsUpTakesTheCarrierAndFailsTheWrite,
                            AClosedDeviceRefusesReadsAndWritesAndOpensAgain, OpenErrorsComeByKind,
                            ASecondOpenOfAHeldPortIsRefusedAsBusy, AnOpenDeviceRefusesToOpenAgain,
                            AUserWhoMayNotUseTheDeviceIsRefusedForPermission);

} // namespace tollander::test
