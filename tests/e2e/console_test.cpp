// The console front end, packed as a vendor would ship it: stdout carries the
// event log, the exit status tells how the run ended.
#include <cctype>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <unistd.h>

#include "platform/crypto/crypto.h"
#include "tests/e2e/fixture.h"

namespace tollander::e2e {
namespace {

class Console : public E2eTest {
protected:
    std::string Flasher() {
        const std::string sample = BinDir() + "/tollander-flash-console-sample";
        if (!std::filesystem::exists(sample)) return {};
        return sample;
    }
    std::string Record() { return ReadFile(dir_ + "/state/tollander-flash/runs.log"); }
    // Both images arrived whole at the modem.
    void ExpectBothImages(VModem& modem, const std::string& why) {
        ASSERT_EQ(modem.SavedImages(), 2) << why;
        EXPECT_TRUE(modem.SavedImage(1) == ReadFile(FirmwareDir() + "/FLS0228.HEX")) << why;
        EXPECT_TRUE(modem.SavedImage(2) == ReadFile(FirmwareDir() + "/F2ZE0529.HEX")) << why;
    }
};

// A modem slow enough that the main image takes seconds: a test acts while
// it goes out.
const std::vector<std::string> kSlowModem{"--rate", "100000"};
// The console's stderr once the main image is under way.
const std::regex kMainImageUnderWay(R"(Main code \(2\): \d+ of \d+ bytes, [1-9]0%)");

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

std::string LastLine(const std::string& text) {
    const auto lines = Lines(text);
    return lines.empty() ? std::string() : lines.back();
}

// Reads `fd` up to its first line end; false at its end or the deadline.
bool ReadFirstLine(int fd, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (char c = 0; c != '\n';) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        if (read(fd, &c, 1) != 1) return false;
    }
    return true;
}

TEST_F(Console, WholeUpgradeExitsZeroWithTheEventLogOnStdout) {
    const std::string flasher = Flasher();
    if (flasher.empty()) GTEST_SKIP() << "no console flasher built";
    auto& modem = Modem(1);
    const auto run = RunProgram({flasher}, "f\n", 180s);

    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(Lines(run.out), ConsoleWholeUpgradeLines());
    ASSERT_EQ(modem.SavedImages(), 2);
    EXPECT_TRUE(modem.SavedImage(1) == ReadFile(FirmwareDir() + "/FLS0228.HEX"));
    EXPECT_TRUE(modem.SavedImage(2) == ReadFile(FirmwareDir() + "/F2ZE0529.HEX"));
    EXPECT_EQ(TempFiles(), std::vector<std::string>{});

    // The run record holds what a vendor needs: the log with times, the
    // images' digests, the port and its device, and how the run ended.
    const std::string record = ReadFile(dir_ + "/state/tollander-flash/runs.log");
    std::size_t at = record.find("Event log:\n");
    for (const std::string& line : Lines(run.out)) {
        // In order, each after its time of day ("  13:45:01.123  ").
        at = record.find(line + "\n", at);
        ASSERT_NE(at, std::string::npos) << line << " missing from\n" << record;
        std::string stamp = record.substr(at - 16, 16);
        for (char& c : stamp)
            if (c >= '0' && c <= '9') c = '9';
        EXPECT_EQ(stamp, "  99:99:99.999  ") << line;
    }
    const std::string exe = ReadFile(flasher);
    const auto length = [&](std::size_t at) {
        const auto* p = reinterpret_cast<const unsigned char*>(exe.data() + exe.size() - 193 + at);
        return static_cast<std::size_t>(p[0] | p[1] << 8 | p[2] << 16 | p[3] << 24);
    };
    const std::size_t main_start = exe.size() - 193 - length(4);
    const std::size_t boot_start = main_start - length(0);
    const auto sha = [&](std::size_t start, std::size_t size) {
        platform::Sha256 h;
        h.Update(exe.data() + start, size);
        return h.FinishHex();
    };
    for (const std::string& part :
         {"Boot image   = SHA-256 " + sha(boot_start, length(0)) + " (matches",
          "Main image   = SHA-256 " + sha(main_start, length(4)) + " (matches",
          "Port used    = COM1 (" + modem.Device() + ")", std::string("Boot Model   = xx166301"),
          std::string(" Upgrade succeeded: the modem runs its new code. Exit status 0.\n\n")})
        EXPECT_NE(record.find(part), std::string::npos) << part << " missing from\n" << record;
}

TEST_F(Console, NoModemExitsTwo) {
    const std::string flasher = Flasher();
    if (flasher.empty()) GTEST_SKIP() << "no console flasher built";
    const auto run = RunProgram({flasher}, "", 60s);

    EXPECT_EQ(run.status, 2) << run.out;
    EXPECT_EQ(Lines(run.out), ConsoleNoModemLines());
}

TEST_F(Console, ARecordThatCannotBeWrittenIsSaidOnceAndStopsNothing) {
    const std::string flasher = Flasher();
    if (flasher.empty()) GTEST_SKIP() << "no console flasher built";
    // A file where the state directory should be.
    const std::string state = dir_ + "/state-file";
    { std::ofstream(state) << ""; }
    setenv("XDG_STATE_HOME", state.c_str(), 1);
    Child run({flasher}, "");
    EXPECT_EQ(run.Finish(60s), 2) << run.Output();

    const std::string& out = run.Output();
    std::size_t said = 0;
    for (const std::string& line : Lines(out))
        if (line.rfind("tollander-flash-console: run record not written: " + state, 0) == 0) ++said;
    EXPECT_EQ(said, 1u) << out;
    for (const std::string& line : ConsoleNoModemLines())
        EXPECT_NE(out.find(line + "\n"), std::string::npos) << line << " missing from\n" << out;
}

TEST_F(Console, WrongCountryExitsThree) {
    const std::string flasher = Flasher();
    if (flasher.empty()) GTEST_SKIP() << "no console flasher built";
    auto& modem = Modem(1, {"--country", "022"});
    const auto run = RunProgram({flasher}, "f\n", 60s);

    EXPECT_EQ(run.status, 3) << run.out;
    EXPECT_EQ(Lines(run.out), ConsoleWrongCountryLines());
    EXPECT_EQ(modem.SavedImages(), 0);
    EXPECT_EQ(TempFiles(), std::vector<std::string>{});

    // stderr says, right after the message, which country the modem gave and
    // which this flasher accepts; the run record keeps both.
    const std::string why = "the modem gave country 022 (Asean); this flasher accepts U.K. (4), "
                            "Netherlands (7), Belgium (12)";
    Child again({flasher}, "f\n");
    EXPECT_EQ(again.Finish(60s), 3) << again.Output();
    EXPECT_NE(again.Output().find("Incorrect flash utility for modem.\ntollander-flash-console: " +
                                  why + "\n"),
              std::string::npos)
        << again.Output();
    const std::string record = ReadFile(dir_ + "/state/tollander-flash/runs.log");
    // The modem's own answer to ATY14 is in the record's trace of the line.
    EXPECT_TRUE(std::regex_search(
        record, std::regex(R"(trace +\d+ ms  sent     COM1 ATY14\\r\n[^\n]*trace +\d+ ms  answered "[^"\n]*022)")))
        << record;
    EXPECT_NE(record.find("No upgrade: this flasher is not for the modem's country (" + why +
                          "); nothing was sent to it. Exit status 3.\n"),
              std::string::npos)
        << record;
}

// --trace shows the line's traffic on stderr: each command, each answer, and
// an upload as one line per block, never its HEX text. The run record keeps
// the same lines, with or without --trace.
TEST_F(Console, TraceShowsTheLineAndTheRecordKeepsIt) {
    const std::string flasher = Flasher();
    if (flasher.empty()) GTEST_SKIP() << "no console flasher built";
    Modem(1);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(null, 0);
    Child run({flasher, "--trace"}, "f\n", null); // its stderr alone
    close(null);
    EXPECT_EQ(run.Finish(180s), 0) << run.Output();
    const std::string& err = run.Output();
    const std::string record = Record();

    const std::regex trace_line(R"(trace +\d+ ms  (sent     |answered ).*)");
    std::size_t traced = 0;
    for (const std::string& line : Lines(err))
        if (line.rfind("trace ", 0) == 0) {
            EXPECT_TRUE(std::regex_match(line, trace_line)) << line;
            ++traced;
            // The record has each line, after its time of day.
            EXPECT_NE(record.find("  " + line + "\n"), std::string::npos) << line;
        }
    EXPECT_GT(traced, 0u) << err;
    // The probe's commands, and the modem's answers to ATI3 (its family) and
    // ATI0 (its model).
    for (const char* exchange :
         {R"(sent     COM1 AT\\r\ntrace +\d+ ms  answered "[^"]*OK)",
          R"(sent     COM1 ATI3\\r\ntrace +\d+ ms  answered "[^"]*Tollander)",
          R"(sent     COM1 ATI0\\r\ntrace +\d+ ms  answered "[^"]*xx166301)",
          R"(sent     COM1 ATGLOAD7\\r\ntrace +\d+ ms  answered "[^"]*Boot>)"})
        EXPECT_TRUE(std::regex_search(err, std::regex(exchange))) << exchange << "\n" << err;
    // Each image: one line per block of 8191 bytes, the last at its size.
    const std::string images[] = {ReadFile(FirmwareDir() + "/FLS0228.HEX"),
                                  ReadFile(FirmwareDir() + "/F2ZE0529.HEX")};
    for (std::size_t i = 0; i < 2; ++i) {
        const std::size_t size = images[i].size();
        const std::size_t blocks = (size + 8190) / 8191;
        const std::string image = "block of image " + std::to_string(i + 1) + ": ";
        EXPECT_EQ(Count(err, "sent     " + image), blocks) << err;
        EXPECT_NE(err.find(image + std::to_string(size - (blocks - 1) * 8191) +
                           " bytes of HEX text, " + std::to_string(size) + " of " +
                           std::to_string(size) + " bytes\n"),
                  std::string::npos)
            << err;
    }
    // No HEX record of either image in full, on stderr or in the record: no
    // ':' that starts a word followed by 20 hex digits or more (a key's
    // fingerprint, "SHA256:...", is no record).
    const auto holds_hex_record = [](const std::string& text) {
        std::size_t run = 0;
        bool after_colon = false;
        char before = '\n';
        for (const char c : text) {
            const auto u = static_cast<unsigned char>(c);
            if (after_colon && std::isxdigit(u)) {
                if (++run >= 20) return true;
                before = c;
                continue;
            }
            after_colon = c == ':' && !std::isalnum(static_cast<unsigned char>(before));
            run = 0;
            before = c;
        }
        return false;
    };
    EXPECT_TRUE(holds_hex_record(images[0])) << "the check must see a record";
    EXPECT_FALSE(holds_hex_record(err)) << err;
    EXPECT_FALSE(holds_hex_record(record)) << record;
}

// The last line on stderr says how the run ended and where that left the
// modem; the run record ends with the same.
TEST_F(Console, TheLastLineSaysHowTheRunEnded) {
    const std::string flasher = Flasher();
    if (flasher.empty()) GTEST_SKIP() << "no console flasher built";
    const struct {
        const char* name;
        std::vector<std::string> modem; // no modem when empty
        int status;
        const char* ending;
    } cases[] = {
        {"no modem", {}, 2, "No upgrade: no modem was found to flash."},
        {"the modem refuses the boot loader",
         {"--gload", "error"},
         1,
         "Upgrade failed: nothing was written to the modem; it keeps its old code."},
        {"the boot loader refuses programming",
         {"--prog", "error"},
         1,
         "Upgrade failed: the modem is left at its boot prompt, waiting to be flashed again; run "
         "the flasher again."},
        {"another model: no image needed",
         {"--model", "xx999999"},
         1,
         "Upgrade not needed: the modem already has this main code. It waits at its boot prompt; "
         "running the flasher again starts its code."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(dir_ + "/state");
        MapPort(1, "");
        if (!c.modem.empty()) Modem(1, c.modem);
        Child run({flasher}, "f\n");
        EXPECT_EQ(run.Finish(120s), c.status) << run.Output();
        EXPECT_EQ(LastLine(run.Output()), c.ending) << run.Output();
        EXPECT_NE(Record().find(std::string(" ") + c.ending + " Exit status " +
                                std::to_string(c.status) + ".\n\n"),
                  std::string::npos)
            << Record();
    }
}

// The event log on stdout is the user's copy; when it cannot be written (the
// reader went away, the disk is full) the upgrade still runs to its end, it
// is said once, and the record keeps the whole log.
TEST_F(Console, AStdoutThatFailsNeverStopsOrShortensTheUpgrade) {
    const std::string flasher = Flasher();
    if (flasher.empty()) GTEST_SKIP() << "no console flasher built";
    enum class Out { PipeClosedAfterFirstLine, PipeClosedInMainImage, FullDisk };
    const struct {
        const char* name;
        Out out;
        const char* reason;
    } cases[] = {
        {"a reader that closes after the first line", Out::PipeClosedAfterFirstLine, "Broken pipe"},
        {"a reader that closes during the main image", Out::PipeClosedInMainImage, "Broken pipe"},
        {"a full disk", Out::FullDisk, "No space left on device"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(dir_ + "/state");
        auto& modem = Modem(1, kSlowModem);
        int out[2] = {-1, -1};
        if (c.out == Out::FullDisk) {
            out[1] = open("/dev/full", O_WRONLY | O_CLOEXEC);
        } else {
            ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        }
        ASSERT_GE(out[1], 0);
        Child run({flasher}, "f\n", out[1]);
        close(out[1]);
        if (c.out == Out::PipeClosedAfterFirstLine) {
            ASSERT_TRUE(ReadFirstLine(out[0], 60s));
        }
        if (c.out == Out::PipeClosedInMainImage) {
            ASSERT_TRUE(run.WaitFor(kMainImageUnderWay, 120s)) << run.Output();
        }
        if (out[0] >= 0) close(out[0]);

        EXPECT_EQ(run.Finish(180s), 0) << run.Output();
        ExpectBothImages(modem, run.Output());
        const std::string& err = run.Output();
        EXPECT_EQ(Count(err, "the event log cannot be written to stdout ("), 1u) << err;
        EXPECT_EQ(Count(err, std::string("(") + c.reason + ")"), 1u) << err;
        EXPECT_EQ(LastLine(err), "Upgrade succeeded: the modem runs its new code.") << err;
        const std::string record = Record();
        std::size_t at = record.find("Event log:\n");
        for (const std::string& line : ConsoleWholeUpgradeLines()) {
            at = record.find("  " + line + "\n", at);
            ASSERT_NE(at, std::string::npos) << line << " missing from\n" << record;
        }
        EXPECT_NE(record.find("(the event log is lost on stdout from here on: " +
                              std::string(c.reason) + ")"),
                  std::string::npos)
            << record;
        modem.Stop();
    }
}

// A program built with the vendor's key, given an unsigned flasher, stops at
// start-up; the run record says why, and the modem hears nothing.
TEST_F(Console, AnUnsignedFlasherStopsWithTheReasonInTheRecord) {
    const std::string program = BinDir() + "/tollander-flash-console";
    if (!std::filesystem::exists(program)) GTEST_SKIP() << "no console flasher built";
    PackConfig unsigned_config;
    unsigned_config.sign_key.clear();
    const std::string flasher = PackFlasher(unsigned_config, program);
    auto& modem = Modem(1);
    Child run({flasher}, "");
    EXPECT_EQ(run.Finish(120s), 1) << run.Output();
    const std::string record = Record();
    EXPECT_NE(record.find("  Flash data integrity check failed.  Failure code  -8\n"),
              std::string::npos)
        << record;
    EXPECT_NE(record.find("Signature    = none: this program refuses unsigned flashers\n"),
              std::string::npos)
        << record;
    EXPECT_EQ(modem.Commands(), std::vector<std::string>{});
}

// The first SIGINT, SIGTERM or SIGHUP during an upload is held back with a
// warning; another within 5 s stops the run, which then says where it left
// the modem and ends as that signal ends a program.
TEST_F(Console, AStopSignalDuringAnUploadIsHeldBackOnce) {
    const std::string flasher = Flasher();
    if (flasher.empty()) GTEST_SKIP() << "no console flasher built";
    const std::string held = ": the upload goes on, since stopping now leaves the modem without "
                             "working code; another SIGINT, SIGTERM or SIGHUP within 5 s stops it "
                             "anyway.";
    const struct {
        const char* name;
        std::vector<int> signals;
        int status;
        const char* ending;
    } cases[] = {
        {"SIGINT once", {SIGINT}, 0, "Upgrade succeeded: the modem runs its new code."},
        {"SIGINT twice",
         {SIGINT, SIGINT},
         128 + SIGINT,
         "Upgrade failed (stopped by SIGINT): the modem is left at its boot prompt, waiting to be "
         "flashed again; run the flasher again."},
        {"SIGHUP, then SIGTERM",
         {SIGHUP, SIGTERM},
         128 + SIGTERM,
         "Upgrade failed (stopped by SIGTERM): the modem is left at its boot prompt, waiting to be "
         "flashed again; run the flasher again."},
    };
    const auto name = [](int signal) -> std::string {
        return signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : "SIGHUP";
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(dir_ + "/state");
        auto& modem = Modem(1, kSlowModem);
        Child run({flasher}, "f\n");
        ASSERT_TRUE(run.WaitFor(kMainImageUnderWay, 120s)) << run.Output();
        run.Signal(c.signals[0]);
        const std::string first = name(c.signals[0]);
        ASSERT_TRUE(run.WaitFor(std::regex(first + ": the upload goes on"), 60s)) << run.Output();
        if (c.signals.size() > 1) run.Signal(c.signals[1]);

        EXPECT_EQ(run.Finish(180s), c.status) << run.Output();
        const std::string& out = run.Output();
        EXPECT_EQ(Count(out, held), 1u) << out;
        EXPECT_EQ(LastLine(out), c.ending) << out;
        const std::string record = Record();
        EXPECT_NE(record.find("(" + first + " during the upload: held back)"), std::string::npos)
            << record;
        EXPECT_NE(record.find(std::string(" ") + c.ending + " Exit status " +
                              std::to_string(c.status) + ".\n\n"),
                  std::string::npos)
            << record;
        if (c.status == 0) {
            ExpectBothImages(modem, out);
        } else {
            EXPECT_NE(record.find("(stopped by " + name(c.signals[1]) + ")"), std::string::npos)
                << record;
            EXPECT_FALSE(modem.SavedImage(2) == ReadFile(FirmwareDir() + "/F2ZE0529.HEX"));
            EXPECT_EQ(TempFiles(), std::vector<std::string>{});
        }
        modem.Stop();
    }
}

} // namespace
} // namespace tollander::e2e
