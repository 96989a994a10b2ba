// The port object on pseudo-terminals: opening, settings, AwaitAnyText and the
// exceptions it raises. The device beneath keeps its own contract
// (tests/serial_contract).
#include "serial/com_port.h"
#include "tests/pty/pty_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <sys/ioctl.h>
#include <sys/resource.h>

namespace tollander::serial {
namespace {

using namespace std::chrono_literals;
using test::Pty;
using test::PumpUntil;

class ComPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        pty.MapTo(1);
        port.SetComNumber(1);
    }
    void TearDown() override {
        port.SetOpen(false);
        for (unsigned n = 1; n <= 4; ++n)
            platform::SetComDevicePath(n, std::nullopt);
    }

    // The far end answers `text` once the wait has begun.
    void AnswerLater(const std::string& text) {
        timer_ = window.add_timer(20ms, [this, text] {
            window.stop_timer(timer_);
            pty.Send(text);
        });
        window.start_timer(timer_);
    }

    platform::HeadlessWindowThread window;
    Pty pty;
    TComPort port{window};
    platform::WindowThread::TimerId timer_ = 0;
};

TEST_F(ComPortTest, AwaitAnyTextFindsTheFirstAlternativeToArrive) {
    struct Case {
        const char* alternatives;
        const char* answer;
        int expected;
        const char* left_in_ring;
    };
    const Case cases[] = {
        {"OK^Boot>", "ok\r\n", 1, "\r\n"}, // lower case; what follows stays
        {"OK^Boot>", "\r\nBoot>", 2, ""},
        {"OK^K", "OK", 1, ""},   // both end on K: the lower number wins
        {"^OK", "OK", 2, ""},    // an empty alternative still counts
        {"OK^", "xOKy", 1, "y"}, // a trailing separator adds nothing
        {"AB^BC", "xABC", 1, "C"},
        {"OK^Boot>", "xOOK", 1, ""}, // a repeated first character restarts at 1
    };
    port.SetOpen(true);
    int avail_notices = 0;
    port.OnTriggerAvail = [&](TCustomComPort&, std::uint16_t) { ++avail_notices; };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.alternatives) + " <- " + c.answer);
        AnswerLater(c.answer);
        EXPECT_EQ(port.AwaitAnyText(c.alternatives, 36, true, true, '^'), c.expected);
        // Notices were held while the wait read the characters itself.
        EXPECT_EQ(avail_notices, 0);
        std::string rest;
        const std::size_t want = std::strlen(c.left_in_ring);
        ASSERT_TRUE(PumpUntil(
            window, [&] { return InputCount(port.PortIndex()) >= static_cast<int>(want); }));
        while (port.InputWaiting() && rest.size() < want)
            rest += port.ReadChar();
        EXPECT_EQ(rest, c.left_in_ring);
    }
}

TEST_F(ComPortTest, AwaitAnyTextFindsAnAnswerThatCameBeforeTheCall) {
    port.SetOpen(true);
    pty.Send("Boot>");
    ASSERT_TRUE(PumpUntil(window, [&] { return InputCount(port.PortIndex()) == 5; }));
    std::string seen;
    port.OnWaitChar = [&](TCustomComPort&, char c) { seen += c; };
    EXPECT_EQ(port.AwaitAnyText("OK^Boot>", 36, true, true, '^'), 2)
        << "the wait saw [" << seen << "]";
    EXPECT_FALSE(port.InputWaiting());
}

TEST_F(ComPortTest, AwaitAnyTextTimesOutWithoutSpinning) {
    port.SetOpen(true);
    rusage before{}, after{};
    ::getrusage(RUSAGE_SELF, &before);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(port.AwaitAnyText("OK^Boot>", 36, true, true, '^'), 0);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ::getrusage(RUSAGE_SELF, &after);
    // 36 ticks of 55 ms, counted from a tick boundary.
    EXPECT_GE(elapsed, 36 * 55ms - 55ms);
    const auto cpu_us = [](const rusage& r) {
        return r.ru_utime.tv_sec * 1'000'000L + r.ru_utime.tv_usec +
               r.ru_stime.tv_sec * 1'000'000L + r.ru_stime.tv_usec;
    };
    // A spinning wait would burn about all the time it waited; one that
    // blocks, a small share of it however slow the build.
    const auto wall_us = std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count();
    EXPECT_LT(cpu_us(after) - cpu_us(before), wall_us / 4);
    // Without Yield it blocks on the record instead of the window.
    EXPECT_EQ(port.AwaitAnyText("OK", 2, false, true, '^'), 0);
    EXPECT_EQ(port.AwaitAnyText("", 36, true, true, '^'), 0);
}

TEST_F(ComPortTest, AwaitAnyTextReturnsAtOnceWhenTheProgramEnds) {
    port.SetOpen(true);
    timer_ = window.add_timer(20ms, [this] { window.terminate(); });
    window.start_timer(timer_);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(port.AwaitAnyText("OK", 1000, true, true, '^'), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

TEST_F(ComPortTest, APortClosedInsideAWaitStaysClosed) {
    port.SetOpen(true);
    std::string seen;
    port.OnWaitChar = [&](TCustomComPort& p, char c) {
        seen += c;
        p.SetOpen(false);
    };
    pty.Send("xOK");
    EXPECT_EQ(port.AwaitAnyText("OK", 5, true, true, '^'), 0);
    EXPECT_EQ(seen, "x");
    EXPECT_FALSE(port.ReallyOpen());
}

TEST_F(ComPortTest, OpeningAMissingDeviceRaisesBadIdUntilTheDeviceExists) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("tollander-serial-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto link = dir / "ttyCOM3";
    std::filesystem::remove(link);
    platform::SetComDevicePath(3, link.string());
    port.SetComNumber(3);
    try {
        port.SetOpen(true);
        FAIL() << "opened a missing device";
    } catch (const EBadId& e) {
        EXPECT_STREQ(e.what(), "Specified comport does not exist (ie_BadId)");
        EXPECT_EQ(e.ErrorCode, ecBadId);
    }
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(port.PortIndex(), 0);
    std::filesystem::create_symlink(pty.Path(), link);
    port.SetOpen(true);
    EXPECT_TRUE(port.Open());
    EXPECT_NE(port.PortIndex(), 0);
    port.SetOpen(false);
    std::filesystem::remove_all(dir);

    // A port that maps to no device at all is missing too.
    platform::SetComDevicePath(4, "");
    port.SetComNumber(4);
    EXPECT_THROW(port.SetOpen(true), EBadId);
}

TEST_F(ComPortTest, ASecondOpenOfAHeldPortRaisesAlreadyOpen) {
    port.SetOpen(true);
    TComPort other(window);
    other.SetComNumber(1);
    EXPECT_THROW(other.SetOpen(true), EAlreadyOpen);
    EXPECT_FALSE(other.Open());
    EXPECT_FALSE(other.LastOsReason().empty());
    port.SetOpen(false);
    other.SetOpen(true); // free again
    EXPECT_TRUE(other.Open());
}

// Closed, the port leaves its terminal as it found it for whoever uses it
// next: its settings, and the exclusive mode it holds while open (one set
// before it came, which only root's open passes, stays set).
TEST_F(ComPortTest, ClosingLeavesTheTerminalAsItWasFound) {
    for (const bool found_exclusive : {false, true}) {
        if (found_exclusive && ::geteuid() != 0) continue;
        SCOPED_TRACE(found_exclusive ? "found exclusive" : "found shared");
        termios found{};
        ASSERT_EQ(::tcgetattr(pty.Slave(), &found), 0);
        found.c_lflag |= ICANON | ECHO;
        ::cfsetspeed(&found, B2400);
        ASSERT_EQ(::tcsetattr(pty.Slave(), TCSANOW, &found), 0);
        ASSERT_EQ(::tcgetattr(pty.Slave(), &found), 0);
        if (found_exclusive) {
            ASSERT_EQ(::ioctl(pty.Slave(), TIOCEXCL), 0);
        }

        port.SetOpen(true);
        int exclusive = 0;
        ASSERT_EQ(::ioctl(pty.Slave(), TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, 1);
        termios in_use{};
        ASSERT_EQ(::tcgetattr(pty.Slave(), &in_use), 0);
        EXPECT_NE(test::TerminalSettings(in_use), test::TerminalSettings(found));
        port.SetOpen(false);

        termios after{};
        ASSERT_EQ(::tcgetattr(pty.Slave(), &after), 0);
        EXPECT_EQ(test::TerminalSettings(after), test::TerminalSettings(found));
        ASSERT_EQ(::ioctl(pty.Slave(), TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive != 0, found_exclusive);
        ::ioctl(pty.Slave(), TIOCNXCL);
    }
}

TEST_F(ComPortTest, TheFormsSettingsGiveTheLineTheUpgradeNeeds) {
    port.BeginLoading();
    port.SetComNumber(1);
    port.SetBaud(115200);
    port.SetInSize(8192);
    port.SetOutSize(8192);
    port.SetHWFlowOptions({hwfUseRTS, hwfRequireCTS});
    port.SetBufferFull(7372);
    port.SetBufferResume(818);
    port.SetTraceName("COMM.TRC");
    port.SetTraceHex(false);
    port.SetLogName("COMM.LOG");
    port.SetTapiMode(tmNone);
    port.SetOpen(true); // stored only while loading
    EXPECT_FALSE(port.ReallyOpen());
    port.EndLoading();
    ASSERT_TRUE(port.ReallyOpen());

    termios tio{};
    ASSERT_EQ(::tcgetattr(pty.Slave(), &tio), 0);
    EXPECT_EQ(::cfgetospeed(&tio), B115200);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_FALSE(tio.c_cflag & PARENB);
    EXPECT_FALSE(tio.c_cflag & CSTOPB);
    EXPECT_TRUE(tio.c_cflag & CRTSCTS);
    EXPECT_TRUE(tio.c_cflag & CLOCAL);
    EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO));

    platform::LineSettings s;
    ASSERT_EQ(GetLineSettings(port.PortIndex(), s), 0);
    EXPECT_EQ(s.rts_control, platform::LineControl::handshake);
    EXPECT_TRUE(s.out_cts_flow);
    EXPECT_EQ(s.xoff_lim, 820); // free places left when the modem is stopped
    EXPECT_EQ(s.xon_lim, 818);
    EXPECT_TRUE(DtrState(port.PortIndex()));
    EXPECT_TRUE(RtsState(port.PortIndex()));
    EXPECT_EQ(port.BufferFull(), 7372);
    EXPECT_EQ(port.BufferResume(), 818);
}

TEST(ComPortProperties, DefaultsAndSetterRulesOnAClosedPort) {
    platform::HeadlessWindowThread window;
    TComPort port(window);
    EXPECT_EQ(port.ComNumber(), 2);
    EXPECT_EQ(port.Baud(), 19200);
    EXPECT_EQ(port.InSize(), 4096);
    EXPECT_TRUE(port.AutoOpen());
    EXPECT_TRUE(port.DTR());
    EXPECT_EQ(port.TapiMode(), tmAuto);
    EXPECT_EQ(port.TraceName(), "COMM.TRC");
    EXPECT_TRUE(port.TraceHex());

    port.SetHWFlowOptions({hwfUseRTS});
    EXPECT_EQ(port.BufferFull(), 3686);
    EXPECT_EQ(port.BufferResume(), 409);

    TComPort soft(window);
    soft.SetSWFlowOptions(swfBoth);
    EXPECT_EQ(soft.BufferFull(), 3072);
    EXPECT_EQ(soft.BufferResume(), 1024);
    TComPort plain(window);
    plain.SetBufferFull(4400); // above InSize: 90 % of the value
    EXPECT_EQ(plain.BufferFull(), 3960);

    port.SetTraceSize(40000);
    EXPECT_EQ(port.TraceSize(), 32760);
    port.SetTracing(tlOn); // remembered on a closed port
    EXPECT_EQ(port.Tracing(), tlOn);
    port.SetLogging(tlAppend);
    EXPECT_EQ(port.Logging(), tlOff);
    EXPECT_FALSE(port.ReallyOpen());
}

TEST_F(ComPortTest, TracingAndLoggingAreRefused) {
    port.SetTracing(tlOn);
    EXPECT_THROW(port.SetOpen(true), ETracingNotEnabled);
    EXPECT_FALSE(port.ReallyOpen()); // not left half open
    port.SetTracing(tlOff);
    port.SetOpen(true);
    EXPECT_THROW(port.SetLogging(tlOn), ELoggingNotEnabled);
    EXPECT_EQ(port.Logging(), tlOff);
    port.SetTracing(tlDump); // does nothing
    EXPECT_TRUE(port.ReallyOpen());
}

TEST_F(ComPortTest, DeleteTriggerOnAClosedPortNeitherFailsNorOpens) {
    port.DeleteTrigger(2);
    port.DeleteTrigger(1);
    EXPECT_FALSE(port.ReallyOpen());
    // Any other operation opens on demand.
    EXPECT_FALSE(port.InputWaiting());
    EXPECT_TRUE(port.ReallyOpen());
}

TEST_F(ComPortTest, RenumberingAnOpenPortKeepsItsDataTrigger) {
    Pty second;
    second.MapTo(3);
    port.SetTriggerLength(0); // no avail notices: nobody has to read
    port.SetOpen(true);
    const std::uint16_t handle = port.NewDataTrigger("\r", false);
    std::vector<std::uint16_t> fired;
    port.OnTriggerData = [&](TCustomComPort&, std::uint16_t h) { fired.push_back(h); };
    port.SetComNumber(3);
    ASSERT_TRUE(port.ReallyOpen());
    second.Send("AT\r");
    ASSERT_TRUE(PumpUntil(window, [&] { return !fired.empty(); }));
    EXPECT_EQ(fired.front(), handle);

    // Closed and reopened by hand, the trigger survives as well.
    port.SetOpen(false);
    port.SetComNumber(1);
    port.SetOpen(true);
    fired.clear();
    pty.Send("x\r");
    ASSERT_TRUE(PumpUntil(window, [&] { return !fired.empty(); }));
    EXPECT_EQ(fired.front(), handle);
}

TEST_F(ComPortTest, SendTextWritesWholeBlocksOrNothing) {
    port.SetOutSize(16);
    port.SetOpen(true);
    port.SendText("");
    port.SendText("ATI3\r");
    EXPECT_EQ(pty.Receive(5), "ATI3\r");
    EXPECT_THROW(port.SendText(std::string(17, 'x')), EOutputBufferTooSmall);
    EXPECT_EQ(pty.Receive(1, 200ms), "");
    EXPECT_THROW(port.ReadChar(), EBufferIsEmpty);
}

// A pulled adapter: the write's exception keeps the library's message and
// carries the system's words for the failure, which the port keeps too.
TEST_F(ComPortTest, AWriteToAVanishedDeviceCarriesTheSystemsWords) {
    port.SetOpen(true);
    EXPECT_EQ(port.LastWriteFailure(), "");
    pty.HangUp();
    try {
        port.SendText("AT\r");
        FAIL() << "the write to a hung-up line succeeded";
    } catch (const EPutBlockFail& e) {
        EXPECT_STREQ(e.what(), "Failed to put entire block");
        EXPECT_EQ(e.OsReason, pty.Path() + ": " + std::strerror(EIO));
        EXPECT_EQ(e.OsFault, platform::DeviceFault::Other);
    }
    EXPECT_EQ(port.LastWriteFailure(), pty.Path() + ": " + std::strerror(EIO));
}

} // namespace
} // namespace tollander::serial
