// The console front end over the form model: what goes to stdout, when stdin
// is read, and the exit status.
#include "app_fakes.h"
#include "ui/console/console_front_end.h"

#include <gtest/gtest.h>

#include <sstream>

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
        setup(parts);
        // The fake protocol ends each upload at once, from the loop.
        parts.uploader->on_start = [&] {
            window.post([&] { parts.uploader->OnProtocolFinish(0); });
        };
        run.status = console.Run(form);
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

TEST(Console, ExitStatusOfEachEnding) {
    struct Case {
        const char* name;
        std::string input;
        std::function<void(FakeParts&)> setup;
        int status;
    };
    const Case cases[] = {
        {"quit before flashing", "q\n",
         [](FakeParts& p) {
             p.dialogue->ports = {{4, Found::Family}};
         },
         2},
        {"wrong utility", "f\n",
         [](FakeParts& p) {
             p.dialogue->ports = {{4, Found::Family}};
             p.dialogue->country_mismatch = true;
         },
         3},
        {"modem refuses the boot loader", "f\n",
         [](FakeParts& p) {
             p.dialogue->ports = {{4, Found::Family}};
             p.dialogue->enter_flash_mode = false;
         },
         1},
        {"a step raises", "f\n",
         [](FakeParts& p) {
             p.dialogue->ports = {{4, Found::Family}};
             p.payload->expand_error = "Disk full";
         },
         1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(RunConsole(c.input, c.setup).status, c.status) << c.name;
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

} // namespace
