// The main form's handlers and control states, driven without a display.
#include "app_fakes.h"
#include "app/run_record.h"
#include "app/row_tooltips.h"
#include "serial/comm_errors.h"

#include <gtest/gtest.h>

using namespace tollander::app;
using tollander::app::testing::FormRig;

namespace {

TEST(MainForm, InitialStateAndFormShow) {
    FormRig rig;
    auto& f = *rig.form;
    EXPECT_TRUE(f.Timer1Enabled()); // running from creation
    EXPECT_TRUE(f.Enabled(ButtonId::Button1));
    EXPECT_FALSE(f.Enabled(ButtonId::Button2));
    EXPECT_FALSE(f.Enabled(ButtonId::Button4));
    for (int n = 1; n <= 4; ++n) {
        EXPECT_FALSE(f.Checked(n));
        EXPECT_FALSE(f.CheckBoxEnabled(n));
        EXPECT_EQ(f.EditText(n), "");
    }
    EXPECT_FALSE(f.Label9Visible());
    EXPECT_FALSE(f.Gauge1().Visible());
    f.Fields().ModemCount = 3;
    f.Fields().PortFlashable[2] = f.Fields().ModemFound[2] = f.Fields().ModemCodeBad[2] = true;
    f.Fields().FlashPort = 2;
    f.Fields().CountryMismatch = true;
    rig.TheSequencer().StepNumber = stepEnterBootLoaderForMain;
    f.FormShow();
    EXPECT_EQ(rig.TheSequencer().StepNumber, stepStartUp);
    EXPECT_EQ(f.Fields().ModemCount, 0);
    EXPECT_EQ(f.Fields().FlashPort, 0);
    EXPECT_FALSE(f.Fields().PortFlashable[2] || f.Fields().ModemFound[2] || f.Fields().ModemCodeBad[2]);
    EXPECT_TRUE(f.Fields().CountryMismatch); // not touched when shown
}

TEST(MainForm, CheckBoxesExcludeEachOtherAndDriveTheFlashButton) {
    FormRig rig;
    auto& f = *rig.form;
    rig.TheSequencer().StepNumber = stepWaitForUser;
    f.SetChecked(4, true);
    EXPECT_TRUE(f.Enabled(ButtonId::Button2));
    f.SetChecked(2, true); // ticking COM2 while COM4 is ticked
    EXPECT_TRUE(f.Checked(2));
    EXPECT_FALSE(f.Checked(4));
    EXPECT_TRUE(f.Enabled(ButtonId::Button2));
    f.SetChecked(2, false); // the only ticked box
    EXPECT_FALSE(f.Enabled(ButtonId::Button2));
}

TEST(MainForm, UpdateFlashButtonNeedsATickedBoxAndAStepPastTheScan) {
    struct Case {
        StepId step;
        bool ticked;
        bool enabled;
    };
    for (const auto& c : {Case{stepScanCom4, true, false}, Case{stepScanSummary, true, true},
                          Case{stepWaitForUser, false, false}, Case{stepStartUp, true, false},
                          Case{stepStop, true, true}}) {
        FormRig rig;
        rig.TheSequencer().StepNumber = c.step;
        if (c.ticked) rig.form->SetChecked(3, true);
        rig.form->UpdateFlashButton();
        EXPECT_EQ(rig.form->Enabled(ButtonId::Button2), c.enabled) << c.step;
    }
}

TEST(MainForm, FlashButtonRequestsTheFlashAndStartsTheTimer) {
    FormRig rig;
    rig.form->StopTimer1();
    rig.form->Button2Click();
    EXPECT_EQ(rig.TheSequencer().StepNumber, stepFlashRequested);
    EXPECT_TRUE(rig.form->Timer1Enabled());
}

TEST(MainForm, StartOverAtTheStopClearsEverythingAndRestartsTheScan) {
    FormRig rig;
    auto& f = *rig.form;
    rig.TheSequencer().StepNumber = stepWaitForUser;
    f.SetEditText(1, "No modem found.");
    f.SetEditText(3, "Tollander modem found.");
    f.Fields().PortFlashable[3] = f.Fields().ModemFound[3] = true;
    f.Fields().PortNote[2] = "Port in use by another program.";
    f.Fields().ModemCount = 1;
    f.SetCheckBoxEnabled(3, true);
    f.SetChecked(3, true);
    f.Fields().CountryMismatch = true;
    f.LogLine("Complete.");
    rig.TheSequencer().StepNumber = stepStop;
    f.StopTimer1();
    f.SetEnabled(ButtonId::Button4, true);

    f.Button4Click();
    EXPECT_EQ(rig.TheSequencer().StepNumber, stepStartUp);
    EXPECT_TRUE(f.Timer1Enabled());
    EXPECT_EQ(f.Fields().ModemCount, 0);
    EXPECT_FALSE(f.Fields().PortFlashable[3] || f.Fields().ModemFound[3] || f.Fields().CountryMismatch);
    for (int n = 1; n <= 4; ++n) {
        EXPECT_EQ(f.EditText(n), "");
        EXPECT_EQ(f.Fields().PortNote[n], "");
        EXPECT_FALSE(f.Checked(n));
        EXPECT_FALSE(f.CheckBoxEnabled(n));
    }
    EXPECT_TRUE(f.Memo1().empty());
    EXPECT_EQ(rig.front.cleared, 1);
    EXPECT_FALSE(f.Enabled(ButtonId::Button2));
    EXPECT_FALSE(f.Enabled(ButtonId::Button4));

    // The next tick runs the start-up again: the banner line comes back.
    ASSERT_TRUE(rig.RunUntil([&] { return rig.TheSequencer().StepNumber == stepScanCom1; }));
    EXPECT_EQ(f.Memo1(), (std::vector<std::string>{"Tollander flash utility initialized..."}));
}

TEST(MainForm, AFailedUploadIsNeverReportedAsSent) {
    FormRig rig;
    auto& f = *rig.form;
    f.StopTimer1();
    f.SetEnabled(ButtonId::Button1, false);
    rig.TheSequencer().FlashStage = 1;
    rig.uploader->OnProtocolError(-6020);
    EXPECT_EQ(rig.TheSequencer().StepNumber, stepJudgeBootUpload);
    EXPECT_TRUE(f.Timer1Enabled());
    EXPECT_FALSE(f.Enabled(ButtonId::Button1));
    // The finish that follows carries the same error: no "sent" line.
    rig.uploader->OnProtocolFinish(-6020);
    EXPECT_EQ(rig.TheSequencer().StepNumber, stepJudgeBootUpload);
    EXPECT_TRUE(f.Enabled(ButtonId::Button1));
    EXPECT_EQ(f.Memo1(),
              (std::vector<std::string>{"Flash file upload did not complete successfully."}));

    rig.TheSequencer().FlashStage = 2;
    rig.uploader->OnProtocolFinish(0);
    EXPECT_EQ(rig.TheSequencer().StepNumber, stepJudgeMainUpload);
    EXPECT_EQ(f.Memo1().back(), "Flash file upload sent successfully.");
}

// Which failure ended an upload: in the run record's ending always, and in
// the log after the catalogue's line with the debug switch.
TEST(MainForm, AFailedUploadSaysWhichFailureItWas) {
    struct Case {
        bool debug;
        int code;
        std::string words;
    };
    for (const Case& c :
         {Case{false, -6022, "upload of image 2 stopped with error -6022 (The modem answered "
                             "before the end of the file)"},
          Case{true, -6023,
               "upload of image 2 stopped with error -6023 (The sender stood still too long)"}}) {
        SCOPED_TRACE(c.code);
        FormRig rig;
        auto& f = *rig.form;
        f.StopTimer1();
        rig.TheSequencer().DebugMode = c.debug;
        rig.TheSequencer().FlashStage = 2;
        f.MutableOutcome().flash_requested = true; // the upload follows FLASH!
        rig.uploader->OnProtocolError(c.code);
        rig.uploader->OnProtocolFinish(c.code);
        std::vector<std::string> log = {"Flash file upload did not complete successfully."};
        if (c.debug) log.push_back("Flash file " + c.words + ".");
        EXPECT_EQ(f.Memo1(), log);
        EXPECT_NE(DescribeEnding(f.Outcome()).find(c.words), std::string::npos)
            << DescribeEnding(f.Outcome());
    }
}

TEST(MainForm, FinishInDebugModeRemovesTheEchoTrigger) {
    FormRig rig;
    rig.TheSequencer().DebugMode = true;
    rig.TheSequencer().EchoTriggerHandle = 9;
    rig.uploader->OnProtocolFinish(0);
    EXPECT_EQ(rig.port->calls, (std::vector<std::string>{"DeleteTrigger(9)"}));
}

TEST(MainForm, GaugeIsHeldBetweenZeroAndMaxValue) {
    FormRig rig;
    auto& f = *rig.form;
    f.SetGaugeMaxValue(10000);
    rig.uploader->OnProtocolStatus(0);
    EXPECT_EQ(f.Gauge1().Progress(), 8191);
    rig.uploader->OnProtocolStatus(0); // blocks add up past the file size
    EXPECT_EQ(f.Gauge1().Progress(), 10000);
    f.SetGaugeMaxValue(5000); // lowering the maximum lowers the progress
    EXPECT_EQ(f.Gauge1().Progress(), 5000);
    f.SetGaugeProgress(-3);
    EXPECT_EQ(f.Gauge1().Progress(), 0);
    f.SetGaugeMaxValue(1);
    for (int i = 0; i < 300000; ++i)
        rig.uploader->OnProtocolStatus(0);
    EXPECT_EQ(f.Gauge1().Progress(), 1); // no wrap after many blocks
}

TEST(MainForm, DebugEchoLogsOnlyTextsLongerThanFourCharacters) {
    FormRig rig;
    auto& f = *rig.form;
    rig.TheSequencer().DebugMode = true;
    rig.TheSequencer().EchoTriggerHandle = 7;
    auto feed = [&](const std::string& s) {
        for (char c : s)
            rig.port->input.push_back(c);
        rig.port->OnTriggerAvail(static_cast<std::uint16_t>(s.size()));
    };
    feed("Prog HEX");
    rig.port->OnTriggerData(7); // the first line: 8 characters
    feed("\r\nOK");
    rig.port->OnTriggerData(7); // CR LF O K: 4 characters, not logged
    feed("\r\nABC");
    rig.port->OnTriggerData(3); // another trigger's handle: nothing
    rig.port->OnTriggerData(7);
    EXPECT_EQ(f.Memo1(), (std::vector<std::string>{"Prog HEX", "", "ABC"}));
    EXPECT_EQ(f.Fields().EchoBuffer, "");
}

TEST(MainForm, DebugEchoIsSilentOutsideDebugMode) {
    FormRig rig;
    rig.TheSequencer().EchoTriggerHandle = 7;
    rig.port->input = {'a', 'b', 'c', 'd', 'e', 'f'};
    rig.port->OnTriggerAvail(6);
    rig.port->OnTriggerData(7);
    EXPECT_EQ(rig.port->input.size(), 6u); // nothing read
    EXPECT_TRUE(rig.form->Memo1().empty());
}

TEST(MainForm, AnExceptionInAHandlerIsShownNotPropagated) {
    FormRig rig;
    rig.TheSequencer().DebugMode = true;
    rig.port->OnTriggerAvail(2); // nothing waiting: ReadChar raises
    ASSERT_EQ(rig.front.messages.size(), 1u);
    EXPECT_EQ(rig.front.messages[0].first, "Buffer is empty");
    EXPECT_TRUE(rig.form->Outcome().handler_error);
    EXPECT_FALSE(rig.form->Outcome().halted);
}

// A write the device refused, in a step or in the upload: the box and the
// log keep their fixed texts; the port's row (its tooltip) and the run's
// ending carry the system's words and code.
TEST(MainForm, AFailedWriteKeepsTheSystemsWordsForTheRow) {
    const std::string device = "\\\\.\\COM5";
    const std::string words = "The device does not recognize the command (error 22)";
    const std::string note = "COM1 (" + device + "): " + words;
    {
        FormRig rig;
        rig.port->device = device;
        rig.form->Guarded(
            [&] {
                throw tollander::serial::EPutBlockFail(tollander::serial::ecPutBlockFail,
                                                       "Failed to put entire block",
                                            device + ": " + words,
                                                       tollander::platform::DeviceFault::Other);
            },
            true);
        ASSERT_EQ(rig.front.messages.size(), 1u);
        EXPECT_EQ(rig.front.messages[0].first, "Failed to put entire block");
        EXPECT_EQ(rig.form->Fields().PortNote[1], note);
        RowTooltips tooltips;
        tooltips.Refresh(*rig.form, 1);
        EXPECT_NE(tooltips.Text(1).find(note), std::string::npos) << tooltips.Text(1);
    }
    {
        FormRig rig;
        rig.port->device = device;
        rig.port->write_failure = device + ": " + words;
        auto& f = *rig.form;
        f.StopTimer1();
        f.Fields().FlashPort = 1;
        rig.TheSequencer().FlashStage = 2;
        f.MutableOutcome().flash_requested = true;
        rig.uploader->OnProtocolError(tollander::serial::ecPutBlockFail);
        EXPECT_EQ(f.Memo1(),
                  (std::vector<std::string>{"Flash file upload did not complete successfully."}));
        EXPECT_EQ(f.Fields().PortNote[1], note);
        EXPECT_NE(DescribeEnding(f.Outcome())
                      .find("error -3004 (Failed to put entire block): " + device + ": " + words),
                  std::string::npos)
            << DescribeEnding(f.Outcome());
    }
}

TEST(MainForm, QuitClosesThePortThenTheWindowAndMenuCommandsWork) {
    FormRig rig;
    rig.port->open = true;
    rig.form->About1Click();
    EXPECT_EQ(rig.front.abouts, 1);
    rig.form->Button1Click();
    EXPECT_FALSE(rig.port->open);
    EXPECT_EQ(rig.front.closes, 1);
    EXPECT_TRUE(rig.window.terminating());

    FormRig other;
    other.port->open = true;
    other.form->File1Click();
    EXPECT_EQ(other.front.closes, 1);
}

// A row's tooltip says each thing once: the facts of the device, then the
// note, without the facts the note already gives.
TEST(RowTooltips, TheNoteIsNotRepeatedByTheFacts) {
    struct Case {
        std::string device;
        std::string note;
        std::string tooltip;
    };
    const std::string missing = "/nonexistent/ttyModem";
    const std::string missing_reason =
        "no such device; check that the modem's adapter is plugged in and the port mapped to it";
    const Case cases[] = {
        {"", "", "COM2: no device mapped"},
        {"", "COM2: no device mapped; TOLLANDER_COM1 to TOLLANDER_COM4 choose the devices",
         "COM2: no device mapped; TOLLANDER_COM1 to TOLLANDER_COM4 choose the devices"},
        {missing, "", "COM2: " + missing + "\n  can open: no (" + missing_reason + ")"},
        {missing, "COM2 (" + missing + "): " + missing_reason,
         "COM2: " + missing + "\nCOM2 (" + missing + "): " + missing_reason},
    };
    for (const Case& c : cases) {
        FormRig rig;
        rig.port->device = c.device;
        rig.form->Fields().PortNote[2] = c.note;
        RowTooltips tooltips;
        EXPECT_TRUE(tooltips.Refresh(*rig.form, 2));
        EXPECT_EQ(tooltips.Text(2), c.tooltip) << c.device << " / " << c.note;
    }
}

} // namespace
