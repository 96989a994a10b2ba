// The upgrade sequencer's steps, Pause and ReadCommandLine, with scripted
// modem conversations and payload operations.
#include "app_fakes.h"
#include "tests/common/forwarding_window.h"
#include "platform/thread/clock.h"

#include <gtest/gtest.h>

using namespace tollander::app;
using tollander::app::testing::FakeDialogue;
using tollander::app::testing::FormRig;
using Found = FakeDialogue::Found;
using Strings = std::vector<std::string>;

namespace {

TEST(Sequencer, ReadCommandLineTakesOnlyAnExactFirstSwitch) {
    struct Case {
        Strings args;
        bool debug;
    };
    const Case cases[] = {
        {{"/x/flash", "/ud"}, true},  {{"/x/flash", "/UD"}, true},
        {{"/x/flash", "/Ud"}, false}, {{"/x/flash", "x", "/ud"}, false},
        {{"/x/flash"}, false},        {{"/x/flash", "/ud "}, false},
    };
    for (const auto& c : cases) {
        FormRig rig(c.args);
        rig.TheSequencer().ReadCommandLine();
        EXPECT_EQ(rig.TheSequencer().DebugMode, c.debug) << c.args.back();
        EXPECT_EQ(rig.TheSequencer().ExePath, "/x/flash");
    }
}

TEST(Sequencer, StepOutsideTheTableDoesNothing) {
    for (std::uint16_t step : {23, 6, 98, 100, 65535}) {
        FormRig rig;
        rig.RunStep(step);
        EXPECT_EQ(rig.TheSequencer().StepNumber, step);
        EXPECT_TRUE(rig.form->Timer1Enabled()); // keeps its state
        EXPECT_TRUE(rig.form->Memo1().empty());
        EXPECT_TRUE(rig.payload->calls.empty());
    }
}

TEST(Sequencer, StartUpWritesTheBannerAndInDebugTheDump) {
    FormRig rig({"/x/flash", "/ud"});
    rig.RunStep(stepStartUp);
    EXPECT_EQ(rig.TheSequencer().StepNumber, stepScanCom1);
    EXPECT_TRUE(rig.form->Timer1Enabled());
    EXPECT_EQ(rig.payload->exe, "/x/flash");
    EXPECT_EQ(rig.payload->calls,
              (Strings{"DeleteTempFiles", "Read", "Parse", "Apply", "DeleteTempFiles"}));
    EXPECT_EQ(rig.form->Memo1(),
              (Strings{"Tollander flash utility initialized...", "Boot Length  = 9357"}));
}

// Runs the scan steps, COM1's to the summary, with the given modems.
void Scan(FormRig& rig, std::map<int, Found> ports) {
    rig.dialogue->ports = std::move(ports);
    for (std::uint16_t step = stepScanCom1; step <= stepScanSummary; ++step) {
        ASSERT_EQ(rig.TheSequencer().StepNumber, step);
        rig.Tick();
    }
}

TEST(Sequencer, ScanSummaryWithNoModem) {
    FormRig rig;
    rig.TheSequencer().StepNumber = stepScanCom1;
    Scan(rig, {});
    auto& f = *rig.form;
    EXPECT_EQ(rig.TheSequencer().StepNumber, stepStop);
    EXPECT_EQ(f.Memo1(), (Strings{"No modems found to FLASH.",
                                  "Ensure that you have your modem installed and press the "
                                  "\"Start Over\" button."}));
    rig.Tick(); // the stop
    EXPECT_EQ(f.Memo1().back(), "Complete.");
    EXPECT_FALSE(f.Timer1Enabled());
    EXPECT_TRUE(f.Enabled(ButtonId::Button1));
    EXPECT_TRUE(f.Enabled(ButtonId::Button4));
    EXPECT_FALSE(f.Enabled(ButtonId::Button2));
    for (int n = 1; n <= 4; ++n)
        EXPECT_FALSE(f.CheckBoxEnabled(n));
    EXPECT_TRUE(f.WaitingForUser());
}

TEST(Sequencer, ScanSummaryWithOneModem) {
    FormRig rig({"/x/flash", "/UD"});
    rig.TheSequencer().ReadCommandLine();
    rig.TheSequencer().StepNumber = stepScanCom1;
    Scan(rig, {{2, Found::Family}, {3, Found::NotFamily}});
    auto& f = *rig.form;
    EXPECT_EQ(rig.TheSequencer().StepNumber, stepWaitForUser);
    EXPECT_EQ(f.Memo1(),
              (Strings{"Debug mode is active.",
                       "Press the FLASH! button to begin flashing the currently selected modem."}));
    EXPECT_TRUE(f.CheckBoxEnabled(2));
    EXPECT_FALSE(f.CheckBoxEnabled(3));
    EXPECT_TRUE(f.Enabled(ButtonId::Button2));
    EXPECT_TRUE(f.Enabled(ButtonId::Button4));
    EXPECT_TRUE(f.Timer1Enabled());
    rig.Tick(); // waiting for the user stops the timer
    EXPECT_FALSE(f.Timer1Enabled());
    EXPECT_TRUE(f.WaitingForUser());
}

TEST(Sequencer, ScanSummaryWithTwoModemsTicksTheHighestPort) {
    FormRig rig;
    rig.TheSequencer().StepNumber = stepScanCom1;
    Scan(rig, {{1, Found::Family}, {3, Found::Family}});
    auto& f = *rig.form;
    EXPECT_EQ(f.Fields().ModemCount, 2);
    EXPECT_EQ(f.Memo1(),
              (Strings{"Ensure that the correct modem is selected, and press the FLASH! button."}));
    EXPECT_TRUE(f.CheckBoxEnabled(1));
    EXPECT_TRUE(f.CheckBoxEnabled(3));
    EXPECT_FALSE(f.CheckBoxEnabled(2));
    EXPECT_FALSE(f.Checked(1));
    EXPECT_TRUE(f.Checked(3));
    EXPECT_TRUE(f.Enabled(ButtonId::Button2));
}

TEST(Sequencer, FlashRequestedChoosesBootCodeFirstOrMainCodeOnly) {
    struct Case {
        std::int32_t boot_length;
        const char* boot_model;
        bool ignore_model;
        StepId next;
    };
    const Case cases[] = {
        {9357, "xx166301", false, stepCopyBootImage},
        {0, "xx166301", false, stepCopyMainImage},
        {9357, "", false, stepCopyMainImage},
        {9357, "", true, stepCopyBootImage},
        {0, "", true, stepCopyMainImage},
    };
    for (const auto& c : cases) {
        FormRig rig;
        rig.payload->boot_length = c.boot_length;
        rig.payload->boot_model = c.boot_model;
        rig.payload->ignore_model = c.ignore_model;
        rig.TheSequencer().StepNumber = stepWaitForUser;
        rig.form->SetChecked(3, true);
        rig.RunStep(stepFlashRequested);
        EXPECT_EQ(rig.TheSequencer().StepNumber, c.next) << c.boot_length << c.boot_model;
        EXPECT_EQ(rig.form->Fields().FlashPort, 3);
        EXPECT_FALSE(rig.form->Enabled(ButtonId::Button1));
        EXPECT_FALSE(rig.form->Enabled(ButtonId::Button2));
        EXPECT_FALSE(rig.form->Enabled(ButtonId::Button4));
        EXPECT_EQ(rig.dialogue->calls, Strings{"CheckCountry"});
    }
}

TEST(Sequencer, WrongUtilityExitShowsItsMessageAndEnds) {
    for (bool audio : {true, false}) {
        FormRig rig({"/x/flash"}, audio);
        rig.dialogue->country_mismatch = true;
        rig.form->SetChecked(1, true);
        std::vector<std::string> while_shown;
        rig.front.on_message = [&] { while_shown = rig.player_log; };
        rig.RunStep(stepFlashRequested);
        // Without a sound device the message is still shown and the program ends.
        ASSERT_EQ(rig.front.messages.size(), 1u) << audio;
        EXPECT_EQ(rig.front.messages[0].first, "Incorrect flash utility for modem.");
        EXPECT_EQ(rig.front.messages[0].second, MessageKind::Error);
        EXPECT_EQ(while_shown,
                  (Strings{"open /tmp/t/~W~T~F~9.WAV", audio ? "playing" : "no device"}));
        EXPECT_EQ(rig.player_log.back(), "player destroyed");
        EXPECT_EQ(rig.payload->calls,
                  (Strings{"ExtractAlertSound", "DeleteTempFile(~W~T~F~9.WAV)"}));
        EXPECT_EQ(rig.front.closes, 1);
        EXPECT_TRUE(rig.form->Outcome().wrong_utility);
        EXPECT_FALSE(rig.form->Timer1Enabled());
    }
}

TEST(Sequencer, CopyAndExpandSteps) {
    struct Case {
        StepId step;
        bool opens;
        StepId next;
        Strings log;
    };
    const Strings passed_1{"Flash data integrity check passed..  (1)"};
    const Strings passed_2{"Flash data integrity check passed..  (2)"};
    const Strings failed_1{"Flash data integrity check failed.  Failure code  -1"};
    const Strings failed_7{"Flash data integrity check failed.  Failure code  -7"};
    const Case cases[] = {
        {stepCopyBootImage, true, stepExpandBootImage, passed_1},
        {stepCopyMainImage, true, stepExpandMainImage, passed_2},
        {stepCopyBootImage, false, stepStop, failed_1},
        {stepExpandBootImage, true, stepEnterBootLoaderForBoot, {}},
        {stepExpandMainImage, true, stepEnterBootLoaderForMain, {}},
        // The packed file is not the one checked: refused before the boot loader.
        {stepExpandBootImage, false, stepStop, failed_7},
        {stepExpandMainImage, false, stepStop, failed_7},
    };
    for (const auto& c : cases) {
        FormRig rig;
        rig.payload->opens = c.opens;
        rig.payload->expand_refused = !c.opens;
        rig.RunStep(c.step);
        EXPECT_EQ(rig.TheSequencer().StepNumber, c.next) << c.step;
        EXPECT_EQ(rig.form->Memo1(), c.log) << c.step;
        EXPECT_TRUE(rig.form->Timer1Enabled());
    }
}

TEST(Sequencer, AnExceptionInAStepHaltsTheSequencer) {
    FormRig rig;
    rig.payload->expand_error = "Disk full";
    rig.RunStep(stepExpandMainImage);
    ASSERT_EQ(rig.front.messages.size(), 1u);
    EXPECT_EQ(rig.front.messages[0].first, "Disk full");
    EXPECT_EQ(rig.front.messages[0].second, MessageKind::Exception);
    EXPECT_EQ(rig.TheSequencer().StepNumber, stepExpandMainImage);
    EXPECT_FALSE(rig.form->Timer1Enabled());
    EXPECT_TRUE(rig.form->Outcome().halted);
}

TEST(Sequencer, EnterBootLoaderForBootCode) {
    const std::string hex = "DeleteTempFile(c:\\~1~Z~6~X.$$$)";
    struct Case {
        bool enter, needed, ready;
        StepId next;
        Strings dialogue;
        bool hex_deleted;
        bool at_boot_prompt; // told to start its code again when the boot code is not needed
    };
    const Case cases[] = {
        {false, true, true, stepStop, {"EnterFlashMode"}, true, false},
        {true,
         false,
         true,
         stepDropBootHex,
         {"EnterFlashMode", "CheckBootUpdateNeeded", "SkipBootUpdate"},
         true,
         false},
        {true,
         true,
         false,
         stepStop,
         {"EnterFlashMode", "CheckBootUpdateNeeded", "StartHexProgramming"},
         false,
         true},
        {true,
         true,
         true,
         stepStartBootUpload,
         {"EnterFlashMode", "CheckBootUpdateNeeded", "StartHexProgramming"},
         false,
         true},
    };
    for (const auto& c : cases) {
        FormRig rig;
        rig.form->SetChecked(2, true);
        rig.form->SetEnabled(ButtonId::Button4, true);
        rig.RunStep(stepCopyBootImage); // makes the boot files current
        rig.payload->calls.clear();
        rig.dialogue->enter_flash_mode = c.enter;
        rig.dialogue->boot_needed = c.needed;
        rig.dialogue->hex_ready = c.ready;
        rig.RunStep(stepEnterBootLoaderForBoot);
        EXPECT_EQ(rig.TheSequencer().StepNumber, c.next);
        EXPECT_EQ(rig.dialogue->calls, c.dialogue);
        EXPECT_EQ(rig.payload->calls, c.hex_deleted ? Strings{hex} : Strings{});
        EXPECT_EQ(rig.port->baud, 115200);
        EXPECT_TRUE(rig.form->Timer1Enabled());
        EXPECT_EQ(rig.form->Gauge1().Visible(), c.next == stepStartBootUpload);
        EXPECT_EQ(rig.form->Label9Visible(), c.next == stepStartBootUpload);
        EXPECT_EQ(rig.form->Outcome().at_boot_prompt, c.at_boot_prompt);
        EXPECT_FALSE(rig.form->Outcome().main_not_needed);
        // Unlike the main code's step, this one leaves the boxes to step 21.
        EXPECT_EQ(rig.form->Fields().FlashPort, 0);
        EXPECT_TRUE(rig.form->Enabled(ButtonId::Button4));
    }
}

TEST(Sequencer, EnterBootLoaderForMainCode) {
    const std::string hex = "DeleteTempFile(c:\\~1~Z~6~2.$$$)";
    struct Case {
        bool enter, needed, ready;
        StepId next;
        bool hex_deleted; // the HEX file of a refused boot loader stays
        bool at_boot_prompt;
        bool not_needed;
    };
    const Case cases[] = {
        {false, true, true, stepStop, false, false, false},
        {true, false, true, stepStop, true, true, true},
        {true, true, false, stepStop, false, true, false},
        {true, true, true, stepStartMainUpload, false, true, false},
    };
    for (const auto& c : cases) {
        FormRig rig;
        rig.form->SetChecked(4, true);
        rig.form->SetEnabled(ButtonId::Button4, true);
        rig.RunStep(stepCopyMainImage);
        rig.payload->calls.clear();
        rig.dialogue->enter_flash_mode = c.enter;
        rig.dialogue->main_needed = c.needed;
        rig.dialogue->hex_ready = c.ready;
        rig.RunStep(stepEnterBootLoaderForMain);
        EXPECT_EQ(rig.TheSequencer().StepNumber, c.next);
        EXPECT_EQ(rig.payload->calls, c.hex_deleted ? Strings{hex} : Strings{});
        EXPECT_EQ(rig.form->Fields().FlashPort, 4); // taken again from the boxes
        EXPECT_FALSE(rig.form->Enabled(ButtonId::Button4));
        EXPECT_FALSE(rig.form->CheckBoxEnabled(4));
        EXPECT_EQ(rig.form->Gauge1().Visible(), c.next == stepStartMainUpload);
        EXPECT_EQ(rig.form->Outcome().at_boot_prompt, c.at_boot_prompt);
        EXPECT_EQ(rig.form->Outcome().main_not_needed, c.not_needed);
    }
}

TEST(Sequencer, StartUploadSendsTheCurrentHexFile) {
    for (bool debug : {false, true}) {
        FormRig rig;
        rig.TheSequencer().DebugMode = debug;
        rig.RunStep(stepCopyMainImage);
        rig.form->LogLine("-");
        rig.RunStep(stepStartMainUpload);
        EXPECT_EQ(rig.TheSequencer().FlashStage, 2);
        EXPECT_EQ(rig.uploader->started, Strings{"/tmp/t/c:\\~1~Z~6~2.$$$"});
        EXPECT_EQ(rig.form->Gauge1().MaxValue(), 21417);
        EXPECT_FALSE(rig.form->Timer1Enabled()); // waits for the protocol
        EXPECT_EQ(rig.TheSequencer().StepNumber, stepStartMainUpload);
        if (debug) {
            EXPECT_EQ(rig.form->Memo1().back(), "Flashing main code...");
            EXPECT_EQ(rig.port->calls, Strings{"NewDataTrigger(\r,0)"});
            EXPECT_EQ(rig.TheSequencer().EchoTriggerHandle, 7);
        } else {
            EXPECT_EQ(rig.form->Memo1().back(), "-");
            EXPECT_TRUE(rig.port->calls.empty());
        }
    }
    FormRig boot;
    boot.TheSequencer().DebugMode = true;
    boot.RunStep(stepStartBootUpload);
    EXPECT_EQ(boot.TheSequencer().FlashStage, 1);
    EXPECT_EQ(boot.form->Memo1().back(), "Flashing boot code...");
}

TEST(Sequencer, ResultStepsAndTheStop) {
    struct Case {
        StepId step;
        bool alive;
        bool debug;
        StepId next;
        Strings dialogue;
        Strings log;
    };
    const Case cases[] = {
        {stepJudgeBootUpload, true, false, stepDropBootHex, {"AwaitProgramResult(1000)"}, {}},
        {stepJudgeBootUpload, false, false, stepBootFailureNote, {"AwaitProgramResult(1000)"}, {}},
        {stepJudgeMainUpload, false, false, stepRewriteAndReset, {"AwaitProgramResult(5000)"}, {}},
        {stepRewriteAndReset, false, false, stepStop, {"RewriteNvram"}, {"Resetting modem..."}},
        {stepRewriteAndReset,
         false,
         true,
         stepStop,
         {"RewriteNvram"},
         {"Rewriting NVRAM templates 0 and 1...", "Resetting modem..."}},
        {stepBootFailureNote, false, false, stepStop, {}, {}},
        {stepBootFailureNote, false, true, stepStop, {}, {"Failure..."}},
    };
    for (const auto& c : cases) {
        FormRig rig;
        rig.TheSequencer().DebugMode = c.debug;
        rig.dialogue->alive_after_upload = c.alive;
        rig.RunStep(c.step);
        EXPECT_EQ(rig.TheSequencer().StepNumber, c.next) << c.step;
        EXPECT_EQ(rig.dialogue->calls, c.dialogue) << c.step;
        EXPECT_EQ(rig.form->Memo1(), c.log) << c.step;
        EXPECT_TRUE(rig.form->Timer1Enabled());
    }

    FormRig rig;
    rig.form->SetGaugeMaxValue(100);
    rig.form->SetGaugeProgress(40);
    rig.RunStep(stepDropBootHex);
    EXPECT_EQ(rig.TheSequencer().StepNumber, stepCopyMainImage);
    EXPECT_EQ(rig.form->Gauge1().Progress(), 0);

    rig.port->open = true;
    rig.form->SetProgressVisible(true);
    rig.form->SetGaugeProgress(40);
    rig.form->SetEnabled(ButtonId::Button1, false);
    rig.RunStep(stepStop);
    EXPECT_FALSE(rig.port->open);
    EXPECT_FALSE(rig.form->Timer1Enabled());
    EXPECT_TRUE(rig.form->Enabled(ButtonId::Button1));
    EXPECT_TRUE(rig.form->Enabled(ButtonId::Button4));
    EXPECT_FALSE(rig.form->Gauge1().Visible());
    EXPECT_FALSE(rig.form->Label9Visible());
    EXPECT_EQ(rig.form->Gauge1().Progress(), 0);
    EXPECT_EQ(rig.form->Memo1().back(), "Complete.");
}

TEST(Pause, EndsOnceTheTimeHasPassedAndServesTheWindowMeanwhile) {
    FormRig rig;
    bool handled = false;
    rig.window.post([&] { handled = true; });
    const auto t0 = tollander::platform::MillisecondsNow();
    rig.TheSequencer().Pause(300);
    const auto took = tollander::platform::MillisecondsNow() - t0;
    EXPECT_TRUE(handled);
    EXPECT_GE(took, 300u);
    EXPECT_LT(took, 5000u);

    // A handler that holds the window longer than the pause asked: the pause
    // ends right after it, and does not raise.
    rig.window.post([&] { rig.TheSequencer().Pause(400); });
    const auto t1 = tollander::platform::MillisecondsNow();
    EXPECT_NO_THROW(rig.TheSequencer().Pause(100));
    const auto took2 = tollander::platform::MillisecondsNow() - t1;
    EXPECT_GE(took2, 400u);
    EXPECT_LT(took2, 5000u);
}

// Counts the waits of the loop: a pause blocks, it does not spin.
struct CountingWindow : tollander::testing::ForwardingWindow {
    void wait(Millis max) override {
        ++waits;
        inner.wait(max);
    }
    int waits = 0;
};

TEST(Pause, BlocksInsteadOfSpinning) {
    CountingWindow window;
    tollander::app::testing::FakeFrontEnd front(window);
    Devices devices;
    devices.port = std::make_unique<tollander::app::testing::FakePort>();
    devices.protocol = std::make_unique<tollander::app::testing::FakeUploader>();
    devices.payload = std::make_unique<tollander::app::testing::FakePayload>();
    devices.make_dialogue = [](MainForm& f) { return std::make_unique<FakeDialogue>(f); };
    MainForm form(window, front, {"x"}, std::move(devices));
    form.StopTimer1();
    form.TheSequencer().Pause(500);
    EXPECT_LE(window.waits, 5);
}

TEST(Sequencer, ATickDuringAStepsWaitDoesNotEnterASecondStep) {
    FormRig rig;
    rig.TheSequencer().StepNumber = stepScanCom1;
    rig.dialogue->on_probe = [&](int) {
        rig.form->StartTimer1(); // as a protocol event handler would
        rig.TheSequencer().Pause(450);    // the timer falls due twice meanwhile
    };
    rig.Tick();
    EXPECT_EQ(rig.dialogue->calls, Strings{"ProbePort(1)"});
    EXPECT_EQ(rig.TheSequencer().StepNumber, stepScanCom2);
}

TEST(Sequencer, QuitDuringAStepEndsCleanly) {
    auto rig = std::make_unique<FormRig>();
    rig->TheSequencer().StepNumber = stepScanCom2;
    rig->port->open = true;
    bool after_pause = false;
    rig->dialogue->on_probe = [&](int) {
        rig->window.post([&] { rig->form->Button1Click(); }); // the user presses "&Quit"
        rig->TheSequencer().Pause(2000);
        after_pause = true;
    };
    rig->Tick();
    EXPECT_FALSE(after_pause); // the step unwound at its wait
    EXPECT_TRUE(rig->window.terminating());
    EXPECT_FALSE(rig->port->open);
    EXPECT_TRUE(rig->front.messages.empty());
    rig->form->LogLine("late");
    EXPECT_TRUE(rig->form->Memo1().empty()); // nothing more reaches the closed window
    rig->Tick();
    EXPECT_EQ(rig->dialogue->calls.size(), 1u); // no step runs once closing
    rig.reset(); // the form goes only now; nothing runs on it afterwards
}

TEST(Sequencer, WholeRunWithBootAndMainCode) {
    FormRig rig;
    rig.dialogue->ports = {{3, Found::Family}};
    // The fake protocol reports two blocks, then the end, from the loop.
    rig.uploader->on_start = [&] {
        rig.window.post([&] { rig.uploader->OnProtocolStatus(0); });
        rig.window.post([&] { rig.uploader->OnProtocolStatus(0); });
        rig.window.post([&] { rig.uploader->OnProtocolFinish(0); });
    };
    auto& f = *rig.form;
    f.FormShow();
    ASSERT_TRUE(rig.RunUntil([&] { return f.WaitingForUser(); }));
    EXPECT_EQ(rig.TheSequencer().StepNumber, stepWaitForUser);
    f.Button2Click();
    ASSERT_TRUE(rig.RunUntil([&] { return f.WaitingForUser(); }));
    EXPECT_EQ(rig.TheSequencer().StepNumber, stepStop);
    EXPECT_EQ(
        f.Memo1(),
        (Strings{"Tollander flash utility initialized...",
                 "Press the FLASH! button to begin flashing the currently selected modem.",
                 "Flash data integrity check passed..  (1)", "Flash file upload sent successfully.",
                 "Flash data integrity check passed..  (2)", "Flash file upload sent successfully.",
                 "Resetting modem...", "Complete."}));
    EXPECT_EQ(rig.uploader->started,
              (Strings{"/tmp/t/c:\\~1~Z~6~X.$$$", "/tmp/t/c:\\~1~Z~6~2.$$$"}));
    // Each upload checks its blocks against what was expanded.
    EXPECT_EQ(rig.uploader->checked, (std::vector<bool>{true, true}));
    const auto& o = f.Outcome();
    EXPECT_TRUE(o.flash_requested && o.nvram_rewritten);
    EXPECT_FALSE(o.failure_logged || o.halted || o.wrong_utility);
}

} // namespace
