// The serial layer's error codes: the exception each raises, its message,
// and the message number it shows under.
#include "serial/comm_errors.h"

#include <gtest/gtest.h>

namespace tollander::serial {
namespace {

TEST(CommErrors, CodesBecomeTheirExceptionsAndMessages) {
    struct Case {
        int code;
        const char* message;
    };
    const Case cases[] = {
        {ecBadHandle, "Bad handle passed to com function"},
        {ecBadArgument, "Bad argument passed to function"},
        {ecBadId, "Specified comport does not exist (ie_BadId)"},
        {ecAlreadyOpen, "ie_Open - device already open"},
        {ecNoHandles, "No more handles, can't open port"},
        {ecNullApi, "No device layer specified"},
        {ecNotSupported, "Function not supported by driver"},
        {ecPutBlockFail, "Failed to put entire block"},
        {ecOutputBufferTooSmall, "Output buffer too small for block"},
        {ecBufferIsEmpty, "Buffer is empty"},
        {ecTracingNotEnabled, "Tracing not enabled"},
        {ecLoggingNotEnabled, "Logging not enabled"},
        {ecNoMoreTriggers, "No more trigger slots"},
        {ecTriggerTooLong, "Data trigger too long"},
        {ecBadTriggerHandle, "Bad trigger handle"},
        {-7777, "Comm exception"},
    };
    for (const auto& c : cases) {
        try {
            RaiseCommError(c.code);
            FAIL() << c.code;
        } catch (const ECommException& e) {
            EXPECT_EQ(e.ErrorCode, c.code);
            EXPECT_STREQ(e.what(), c.message);
        }
    }
    EXPECT_THROW(RaiseCommError(ecOutOfMemory), EOutOfMemory);
    try {
        RaiseCommError(-103);
        FAIL();
    } catch (const platform::EInOutError& e) {
        EXPECT_EQ(e.ErrorCode, 103);
        EXPECT_STREQ(e.what(), "File/device not open");
    }
    EXPECT_EQ(CommMessageNumber(-2001), 11201);
    EXPECT_EQ(CommMessageNumber(-103), 11903);
    EXPECT_EQ(CommMessageNumber(-13850), 13850);
}

} // namespace
} // namespace tollander::serial
