// The console front end over the form model: what goes to stdout, when stdin
// is read, and the exit status.
#include "app/run_record.h"
#include "app_fakes.h"
#include "ui/console/console_front_end.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <stdexcept>

using namespace tollander;
using app::testing::FakeDialogue;
using app::testing::FakeParts;
using Found = FakeDialogue::Found;

namespace {

struct ConsoleRun {
    int status = -1;
    std::string out;
    std::string err;
    std::string unread; // what stdin still held at the end
    std::string ending; // the outcome said at the end
};

ConsoleRun RunConsole(const std::string& input, const std::function<void(FakeParts&)>& setup,
                      std::vector<std::string> args = {"/opt/tollander-flash"}) {
    platform::HeadlessWindowThread window;
    std::istringstream in(input);
    std::ostringstream out, err;
    ui::ConsoleFrontEnd console(window, in, out, err);
    FakeParts parts;
    ConsoleRun run;
    {
        app::MainForm form(window, console, std::move(args), parts.Make());
        // The fake protocol ends each upload at once, from the loop (unless
        // the case says otherwise).
        parts.uploader->on_start = [&] {
            window.post([&] { parts.uploader->OnProtocolFinish(0); });
        };
        setup(parts);
        run.status = console.Run(form);
        run.ending = app::DescribeEnding(form.Outcome());
    }
    run.out = out.str();
    run.err = err.str();
    std::getline(in, run.unread, '\0');
    return run;
}

TEST(Console, NoModemExitsWithTwoAndStdoutHoldsOnlyTheLog) {
    const auto run = RunConsole("", [](FakeParts& p) {
        p.dialogue->ports = {{2, Found::NotFamily}};
    });
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "Tollander flash utility initialized...\n"
                       "No modems found to FLASH.\n"
                       "Ensure that you have your modem installed and press the \"Start Over\" "
                       "button.\n"
                       "Complete.\n");
    EXPECT_NE(run.err.find("COM2: Not a Tollander modem"), std::string::npos);
}

TEST(Console, CommandsWaitForTheUserAndAFlashExitsWithZero) {
    // Main code only, COM1 and COM3 found; "1" chooses COM1, then FLASH!.
    // "q" waits its turn until the stop, and what follows it stays unread.
    const auto run = RunConsole("1\nf\nq\nextra\n", [](FakeParts& p) {
        p.dialogue->ports = {{1, Found::Family}, {3, Found::Family}};
        p.payload->boot_length = 0;
    });
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "Tollander flash utility initialized...\n"
                       "Ensure that the correct modem is selected, and press the FLASH! button.\n"
                       "Flash data integrity check passed..  (2)\n"
                       "Flash file upload sent successfully.\n"
                       "Resetting modem...\n"
                       "Complete.\n");
    EXPECT_EQ(run.unread, "extra\n");
    EXPECT_NE(run.err.find("COM1 flash box: [x]"), std::string::npos);
}

// Each ending's exit status and the sentence that says it: whether the
// upgrade succeeded, failed (and where that left the modem) or was not needed.
TEST(Console, ExitStatusAndOutcomeOfEachEnding) {
    struct Case {
        const char* name;
        std::string input;
        std::function<void(FakeParts&)> setup;
        int status;
        const char* ending;
    };
    const auto one_modem = [](FakeParts& p) { p.dialogue->ports = {{4, Found::Family}}; };
    const Case cases[] = {
        {"an upgrade", "f\n", one_modem, 0, "Upgrade succeeded: the modem runs its new code."},
        {"no modem", "", [](FakeParts&) {}, 2, "No upgrade: no modem was found to flash."},
        {"quit before flashing", "q\n", one_modem, 2,
         "No upgrade: the flasher ended before FLASH!; nothing was sent to the modem."},
        {"wrong utility", "f\n",
         [&](FakeParts& p) {
             one_modem(p);
             p.dialogue->country_mismatch = true;
         },
         3, "No upgrade: this flasher is not for the modem's country; nothing was sent to it."},
        {"modem refuses the boot loader", "f\n",
         [&](FakeParts& p) {
             one_modem(p);
             p.dialogue->enter_flash_mode = false;
         },
         1, "Upgrade failed: nothing was written to the modem; it keeps its old code."},
        {"a step raises before the boot loader", "f\n",
         [&](FakeParts& p) {
             one_modem(p);
             p.payload->expand_error = "Disk full";
         },
         1, "Upgrade failed: nothing was written to the modem; it keeps its old code."},
        {"boot loader silent after the boot image", "f\n",
         [&](FakeParts& p) {
             one_modem(p);
             p.dialogue->alive_after_upload = false;
         },
         1,
         "Upgrade failed: the modem is left at its boot prompt, waiting to be flashed again; run "
         "the flasher again."},
        {"programming refused at the boot prompt", "f\n",
         [&](FakeParts& p) {
             one_modem(p);
             p.dialogue->hex_ready = false;
         },
         1,
         "Upgrade failed: the modem is left at its boot prompt, waiting to be flashed again; run "
         "the flasher again."},
        {"main code not needed", "f\n",
         [&](FakeParts& p) {
             one_modem(p);
             p.payload->boot_length = 0;
             p.dialogue->main_needed = false;
         },
         1,
         "Upgrade not needed: the modem already has this main code. It waits at its boot prompt; "
         "running the flasher again starts its code."},
        {"a step raises during the scan", "",
         [&](FakeParts& p) {
             one_modem(p);
             p.dialogue->on_probe = [](int) { throw std::runtime_error("No such device"); };
         },
         1, "No upgrade: a step ended in an error before FLASH!; nothing was sent to the modem."},
        {"the modem answers during the main image", "f\n",
         [&](FakeParts& p) {
             one_modem(p);
             p.payload->boot_length = 0;
             p.uploader->on_start = [&p] {
                 p.uploader->OnProtocolError(-6022);
                 p.uploader->OnProtocolFinish(-6022);
             };
         },
         1,
         "Upgrade failed (upload of image 2 stopped with error -6022 (The modem answered before "
         "the end of the file)): the modem is left at its boot prompt, waiting to be flashed "
         "again; run the flasher again."},
        {"the flasher's end damaged", "",
         [&](FakeParts& p) {
             one_modem(p);
             p.payload->record_fault = -4;
         },
         1,
         "No upgrade: the flasher is damaged (its end was cut off or added to); nothing was sent. "
         "Get a fresh copy of the flasher."},
    };
    for (const auto& c : cases) {
        const auto run = RunConsole(c.input, c.setup);
        EXPECT_EQ(run.status, c.status) << c.name;
        EXPECT_EQ(run.ending, c.ending) << c.name;
    }
}

// A request to stop ends the run, except the first during an upload; another
// within 5 s of that one ends it anyway, a later one is held back again.
TEST(Console, StopGuardHoldsBackTheFirstRequestDuringAnUpload) {
    using Clock = ui::StopGuard::Clock;
    const Clock::time_point t0{};
    const auto at = [&](int ms) { return t0 + std::chrono::milliseconds(ms); };
    struct Request {
        bool uploading;
        int ms;
        bool stops;
    };
    const std::vector<std::vector<Request>> cases = {
        {{false, 0, true}},
        {{true, 0, false}, {true, 4999, true}},
        {{true, 0, false}, {true, 5000, true}},
        {{true, 0, false}, {true, 5001, false}, {true, 9000, true}},
        {{true, 0, false}, {false, 100, true}},
    };
    for (std::size_t n = 0; n < cases.size(); ++n) {
        ui::StopGuard guard;
        for (const Request& r : cases[n])
            EXPECT_EQ(guard.Stops(r.uploading, at(r.ms)), r.stops)
                << "case " << n << " at " << r.ms;
    }
}

TEST(Console, ExitStatusFromTheOutcome) {
    using app::RunOutcome;
    auto with = [](auto set) {
        RunOutcome o;
        set(o);
        return ui::ExitStatus(o);
    };
    EXPECT_EQ(with([](RunOutcome&) {}), 2);
    EXPECT_EQ(with([](RunOutcome& o) { o.flash_requested = o.nvram_rewritten = true; }), 0);
    EXPECT_EQ(with([](RunOutcome& o) {
                  o.flash_requested = o.nvram_rewritten = o.failure_logged = true;
              }),
              1);
    EXPECT_EQ(with([](RunOutcome& o) { o.flash_requested = true; }), 1);
    EXPECT_EQ(with([](RunOutcome& o) { o.handler_error = true; }), 1);
    EXPECT_EQ(with([](RunOutcome& o) { o.wrong_utility = o.flash_requested = true; }), 3);
}

TEST(ConsoleProgress, LineNamesTheImageBytesRateAndTimeLeft) {
    struct Case {
        int image;
        std::int64_t sent, total;
        double rate;
        const char* line;
    } cases[] = {
        {1, 0, 98304, 0.0, "Boot code (1): 0 of 98304 bytes, 0%"},
        {2, 8191, 491460, 0.0, "Main code (2): 8191 of 491460 bytes, 1%"},
        {2, 115200, 491460, 11520, "Main code (2): 115200 of 491460 bytes, 23%, 11.5 kB/s, 0:33 left"},
        {1, 98304, 98304, 11565, "Boot code (1): 98304 of 98304 bytes, 100%, 11.6 kB/s, 0:00 left"},
        {2, 1000, 4000000, 1000, "Main code (2): 1000 of 4000000 bytes, 0%, 1.0 kB/s, 1:06:39 left"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(app::ProgressText(c.image, c.sent, c.total, c.rate), c.line);
}

TEST(ConsoleProgress, InPlaceOnATerminalALinePerTenthElsewhere) {
    // An upload of 1000 bytes reported in blocks of 50, one a second; the
    // rate known from the second block on.
    const auto run = [&](bool in_place) {
        ui::ProgressReport report(in_place);
        std::string text = report.Update(false, 1, 0, 1000, 0.0);
        for (int sent = 0; sent <= 1000; sent += 50)
            text += report.Update(true, 1, sent, 1000, sent > 50 ? 50.0 : 0.0);
        text += report.Update(true, 1, 1000, 1000, 50.0); // nothing new
        return text + report.Update(false, 1, 1000, 1000, 50.0);
    };

    const std::string log = run(false);
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 11) << log;
    EXPECT_EQ(log.find('\r'), std::string::npos);
    EXPECT_EQ(log.substr(log.rfind("Boot")), "Boot code (1): 1000 of 1000 bytes, 100%, 0.1 kB/s, 0:00 left\n");
    EXPECT_NE(log.find("Boot code (1): 500 of 1000 bytes, 50%, 0.1 kB/s, 0:10 left\n"), std::string::npos) << log;

    const std::string tty = run(true);
    EXPECT_EQ(std::count(tty.begin(), tty.end(), '\r'), 21) << tty;
    EXPECT_EQ(tty.find('\n'), tty.size() - 1) << "one line, ended when the upload ends";
    EXPECT_NE(tty.find("\rBoot code (1): 50 of 1000 bytes, 5%\r"), std::string::npos) << tty;

    // Other output first ends the line in place; a closed report adds nothing.
    ui::ProgressReport report(true);
    EXPECT_EQ(report.Close(), "");
    EXPECT_EQ(report.Update(true, 2, 0, 10, 0.0), "\rMain code (2): 0 of 10 bytes, 0%");
    EXPECT_EQ(report.Close(), "\n");
    EXPECT_EQ(report.Close(), "");
}

} // namespace
