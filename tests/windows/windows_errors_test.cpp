// Windows' errors keep Windows' own words and their code on the way to the
// user: the text of each code, and a serial port that cannot be opened.
#include "platform/serial/port_map.h"
#include "platform/serial/serial_device.h"
#include "platform/text_win32.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace tollander::platform {
namespace {

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

TEST(WindowsErrors, TheTextOfACodeEndsWithTheCode) {
    struct Case {
        unsigned long code;
        const char* end;
    };
    for (const Case& c : {Case{ERROR_FILE_NOT_FOUND, " (error 2)"},
                          Case{ERROR_ACCESS_DENIED, " (error 5)"},
                          Case{ERROR_GEN_FAILURE, " (error 31)"}}) {
        const std::string text = win32::SystemMessage(c.code);
        EXPECT_TRUE(EndsWith(text, c.end)) << text;
        // Windows' words come first, without the line break they end with.
        EXPECT_GT(text.size(), std::string(c.end).size()) << text;
        EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
    }
    // A code Windows has no text for is named by its number alone.
    EXPECT_EQ(win32::SystemMessage(0x2000ABCDul), "error 536914893");
}

// A port with nothing behind it: the open fails as a missing device, and the
// row's words are Windows' own, with the code.
TEST(WindowsErrors, AnOpenThatFailsKeepsWindowsWordsAndCode) {
    SetComDevicePath(1, "\\\\.\\COM250");
    auto device = MakeSerialDevice();
    EXPECT_EQ(device->open("COM1"), -kDevNoSuchDevice);
    EXPECT_EQ(device->last_fault(), DeviceFault::Missing);
    const std::string text = device->last_error_text();
    EXPECT_EQ(text.rfind("\\\\.\\COM250: ", 0), 0u) << text;
    EXPECT_TRUE(EndsWith(text, " (error 2)")) << text;
    SetComDevicePath(1, std::nullopt);
}

} // namespace
} // namespace tollander::platform
