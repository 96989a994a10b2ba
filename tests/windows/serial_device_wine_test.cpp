// The Windows serial device on COM1, a line the Linux test beside it
// (console_wine_test.cpp, WineSerialDevice) maps and drives: silent, busy,
// vanishing (TOLLANDER_LINE) or refusing its settings, each case chosen by
// its filter. Skipped when COM1 opens to nothing, as in the Windows build's
// own prefix.
#include "platform/serial/serial_device.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>

namespace tollander::platform {
namespace {

using namespace std::chrono_literals;

std::string LineKind() {
    const char* line = std::getenv("TOLLANDER_LINE");
    return line != nullptr ? line : "silent";
}

// Close while the event thread, as the port table runs it, waits on the
// device: close returns within the guard and the wait ends.
TEST(SerialDeviceOnCom1, CloseEndsThePendingWait) {
    auto device = MakeSerialDevice();
    if (device->open("COM1") != 0) GTEST_SKIP() << "no COM1: " << device->last_error_text();
    device->set_event_mask(kEvDefaultMask);
    std::printf("opened\n");
    std::fflush(stdout);
    std::uint32_t word = 0;
    if (LineKind() == "vanishing") {
        // The test closes the far end now; a read or the wait finds it gone.
        const auto guard = std::chrono::steady_clock::now() + 30s;
        std::uint8_t lines = kLineCarrier;
        while (lines != 0 && std::chrono::steady_clock::now() < guard) {
            device->wait_event_for(word, 100);
            std::uint8_t byte = 0;
            device->read(&byte, 1);
            device->modem_lines(lines);
        }
        ASSERT_EQ(lines, 0) << "the line never went";
    }
    // The first wait ends at the mask set above; the second one is left
    // pending at its limit, for the event thread to take over.
    device->wait_event_for(word, 0);
    device->wait_event_for(word, 20);

    std::atomic<bool> stop{false};
    std::promise<void> entered, ended;
    std::thread events([&] {
        entered.set_value();
        std::uint8_t buffer[4096];
        while (!stop) {
            device->wait_event(word);
            // A busy line's bytes are taken, as the dispatcher would.
            if (word & kEvRxChar) device->read(buffer, sizeof buffer);
        }
        ended.set_value();
    });
    entered.get_future().wait();

    std::promise<void> closed;
    std::thread closer([&] {
        device->close();
        closed.set_value();
    });
    if (closed.get_future().wait_for(1s) != std::future_status::ready) {
        ADD_FAILURE() << "close() still blocked after 1 s on a " << LineKind() << " line";
        // Left as they are: the process ends with the test program.
        closer.detach();
        events.detach();
        (void)device.release();
        return;
    }
    closer.join();
    stop = true;
    device->set_event_mask(0); // as the port table does after the close
    if (ended.get_future().wait_for(10s) != std::future_status::ready) {
        ADD_FAILURE() << "the event thread's wait did not end";
        events.detach();
        return;
    }
    events.join();
}

// A line that refuses its settings (the UART shim told to): the open fails,
// with Windows' words and code for the refusal, and leaves the port closed.
TEST(SerialDeviceOnCom1, AnOpenThatTheLineRefusesFails) {
    auto device = MakeSerialDevice();
    EXPECT_LT(device->open("COM1"), 0);
    EXPECT_FALSE(device->is_open());
    const std::string text = device->last_error_text();
    std::printf("refused: %s\n", text.c_str());
    EXPECT_EQ(text.rfind("\\\\.\\COM1: ", 0), 0u) << text;
    EXPECT_NE(text.find(" (error "), std::string::npos) << text;
}

// A line error (the UART shim told to make them) ends a wait that asks for
// line errors, as received characters would: it is not dropped with the
// modem-line events.
TEST(SerialDeviceOnCom1, ALineErrorEndsTheWait) {
    auto device = MakeSerialDevice();
    ASSERT_EQ(device->open("COM1"), 0) << device->last_error_text();
    device->set_event_mask(kEvError | kEvRxChar);
    std::uint32_t word = 0;
    const auto guard = std::chrono::steady_clock::now() + 30s;
    while (!(word & kEvError) && std::chrono::steady_clock::now() < guard)
        device->wait_event_for(word, 1000);
    EXPECT_TRUE(word & kEvError) << word;
    device->close();
}

} // namespace
} // namespace tollander::platform
