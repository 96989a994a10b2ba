#include "app/sequencer.h"

#include "app/main_form.h"
#include "platform/thread/clock.h"

namespace tollander::app {

namespace {
constexpr std::uint32_t kCounterMask = 0x7FFF'FFFF; // the counter's top bit is cleared
} // namespace

Sequencer::StepWork Sequencer::FindStep(std::uint16_t step) {
    struct Entry {
        StepId step;
        StepWork work;
    };
    static constexpr Entry kTable[] = {
        {stepStartUp, [](Sequencer& s) { s.StartUp(); }},
        {stepScanCom1, [](Sequencer& s) { s.ScanPort(); }},
        {stepScanCom2, [](Sequencer& s) { s.ScanPort(); }},
        {stepScanCom3, [](Sequencer& s) { s.ScanPort(); }},
        {stepScanCom4, [](Sequencer& s) { s.ScanPort(); }},
        {stepScanSummary, [](Sequencer& s) { s.ScanSummary(); }},
        {stepWaitForUser, [](Sequencer& s) { s.WaitForUser(); }},
        {stepFlashRequested, [](Sequencer& s) { s.FlashRequested(); }},
        {stepCopyBootImage, [](Sequencer& s) { s.CopyImage(Image::Boot); }},
        {stepExpandBootImage, [](Sequencer& s) { s.ExpandStep(Image::Boot); }},
        {stepEnterBootLoaderForBoot, [](Sequencer& s) { s.EnterBootLoader(Image::Boot); }},
        {stepStartBootUpload, [](Sequencer& s) { s.StartUpload(1); }},
        {stepJudgeBootUpload, [](Sequencer& s) { s.JudgeBootUpload(); }},
        {stepDropBootHex, [](Sequencer& s) { s.DropBootHex(); }},
        {stepCopyMainImage, [](Sequencer& s) { s.CopyImage(Image::Main); }},
        {stepExpandMainImage, [](Sequencer& s) { s.ExpandStep(Image::Main); }},
        {stepEnterBootLoaderForMain, [](Sequencer& s) { s.EnterBootLoader(Image::Main); }},
        {stepStartMainUpload, [](Sequencer& s) { s.StartUpload(2); }},
        {stepJudgeMainUpload, [](Sequencer& s) { s.JudgeMainUpload(); }},
        {stepRewriteAndReset, [](Sequencer& s) { s.RewriteAndReset(); }},
        {stepBootFailureNote, [](Sequencer& s) { s.BootFailureNote(); }},
        {stepStop, [](Sequencer& s) { s.Stop(); }},
    };
    for (const auto& entry : kTable)
        if (entry.step == step) return entry.work;
    return nullptr;
}

bool Sequencer::IsStep(std::uint16_t step) {
    return FindStep(step) != nullptr;
}

void Sequencer::Timer1Timer() {
    const StepWork work = FindStep(StepNumber);
    if (work == nullptr || form_.Window().terminating()) return;
    // A handler that starts the timer while a step waits (the finish event
    // that follows a protocol error) must not start a second step inside the
    // first: the tick waits until the step has ended.
    if (in_step_) return;
    struct InStep {
        bool& flag;
        explicit InStep(bool& f) : flag(f) { flag = true; }
        ~InStep() { flag = false; }
    } in_step(in_step_);

    work(*this);
    form_.Changed();
}

void Sequencer::Pause(std::uint16_t ms) {
    auto& window = form_.Window();
    // Elapsed time is summed in 64 bits: a pass of message processing held up
    // for minutes (a modal box left open) ends the pause instead of
    // overflowing the count.
    std::uint64_t elapsed = 0;
    std::uint32_t t0 = platform::MillisecondsNow() & kCounterMask;
    while (elapsed < ms) {
        if (window.terminating()) throw StepAborted{};
        window.wait(platform::Millis(ms - elapsed));
        const std::uint32_t t = platform::MillisecondsNow() & kCounterMask;
        elapsed += (t - t0) & kCounterMask; // also across the counter's wrap
        t0 = t;
    }
    if (window.terminating()) throw StepAborted{};
}

void Sequencer::GoTo(StepId step) {
    StepNumber = step;
    form_.StartTimer1();
}

void Sequencer::ReadCommandLine() {
    const auto& args = form_.CommandLine();
    ExePath = args.empty() ? std::string() : args[0];
    if (args.size() > 1 && (args[1] == "/ud" || args[1] == "/UD")) DebugMode = true;
}

// ---- Steps ------------------------------------------------------------------

void Sequencer::StartUp() {
    auto& payload = form_.Payload();
    payload.DeleteTempFiles();
    form_.StopTimer1();
    ReadCommandLine();
    payload.SetExePath(ExePath);
    std::int64_t damaged = 0;
    payload.ReadConfigRecord([&](bool, std::int64_t code) { damaged = code; });
    payload.ParseConfigRecord();
    payload.ApplyConfigRecord();
    form_.Fields().MessageLanguage = payload.LanguageIndex();
    form_.LogAfterFamily(payload.ModelFamily(), MsgInitialized);
    if (DebugMode) payload.DumpConfigRecord([this](const std::string& l) { form_.LogLine(l); });
    // A flasher without its true record has no family to look for and
    // nothing it may send: it stops before a port is opened.
    if (damaged != 0) {
        form_.MutableOutcome().damaged_flasher = true;
        form_.LogWithCode(MsgIntegrityFailed, damaged);
    }
    Pause(500);
    payload.DeleteTempFiles();
    GoTo(damaged != 0 ? stepStop : stepScanCom1);
}

void Sequencer::ScanPort() {
    form_.StopTimer1();
    form_.Dialogue().ProbePort(static_cast<std::uint8_t>(StepNumber));
}

void Sequencer::ScanSummary() {
    form_.StopTimer1();
    if (DebugMode) form_.LogMessage(MsgDebugActive);
    if (form_.Fields().ModemCount > 0) {
        form_.SetEnabled(ButtonId::Button4, true);
        form_.UpdateFlashButton();
        StepNumber = stepWaitForUser;
        for (int port = 1; port <= MainForm::kPorts; ++port)
            if (form_.Fields().PortFlashable[port]) form_.SetCheckBoxEnabled(port, true);
        form_.LogMessage(form_.Fields().ModemCount == 1 ? MsgPressFlash : MsgEnsureSelected);
        form_.StartTimer1();
    } else {
        form_.MutableOutcome().no_modem = true;
        form_.LogMessage(MsgNoModems);
        form_.LogMessage(MsgEnsureInstalled);
        GoTo(stepStop);
    }
}

void Sequencer::WaitForUser() {
    form_.StopTimer1();
}

void Sequencer::TakeFlashPort() {
    form_.SetEnabled(ButtonId::Button1, false);
    form_.SetEnabled(ButtonId::Button2, false);
    form_.SetEnabled(ButtonId::Button4, false);
    for (int port = 1; port <= MainForm::kPorts; ++port)
        form_.SetCheckBoxEnabled(port, false);
    for (int port = 1; port <= MainForm::kPorts; ++port)
        if (form_.Checked(port)) form_.Fields().FlashPort = static_cast<std::uint8_t>(port);
}

void Sequencer::FlashRequested() {
    form_.StopTimer1();
    auto& outcome = form_.MutableOutcome();
    outcome.flash_requested = true;
    TakeFlashPort();
    outcome.at_boot_prompt = form_.Fields().ModemCodeBad[form_.Fields().FlashPort];
    form_.Dialogue().CheckCountry();
    if (form_.Fields().CountryMismatch) {
        WrongUtilityExit();
        return;
    }
    auto& payload = form_.Payload();
    const bool boot = payload.BootLength() > 0 &&
                      (!payload.BootModel().empty() || payload.IgnoreModel());
    GoTo(boot ? stepCopyBootImage : stepCopyMainImage);
}

void Sequencer::WrongUtilityExit() {
    auto& payload = form_.Payload();
    form_.MutableOutcome().wrong_utility = true;
    payload.ExtractAlertSound(DebugMode, [this](const std::string& l) { form_.LogLine(l); });
    {
        // A machine without a sound device still gets the message and the
        // exit: a failed sound is not allowed to stop them.
        auto player = form_.MakePlayer();
        if (player && player->Open(payload.TempFilePath(payload.SoundFile()))) player->Play();
        form_.TheFrontEnd().ShowMessage("Incorrect flash utility for modem.", MessageKind::Error);
    } // the player goes, and the sound with it
    payload.DeleteTempFile(payload.SoundFile());
    form_.TheFrontEnd().CloseMainWindow();
}

void Sequencer::CopyImage(Image image) {
    form_.StopTimer1();
    const bool opened = form_.Payload().ExtractImage(image, [&](bool passed, std::int64_t code) {
        if (passed)
            form_.LogSuffixed(MsgIntegrityPassed, image);
        else
            form_.LogWithCode(MsgIntegrityFailed, code);
    });
    const StepId expand = image == Image::Boot ? stepExpandBootImage : stepExpandMainImage;
    GoTo(opened ? expand : stepStop);
}

void Sequencer::ExpandStep(Image image) {
    form_.StopTimer1();
    // A packed file changed since it was checked ends the run here, before
    // the modem is put into its boot loader.
    const bool expanded = form_.Payload().ExpandImage(
        image, [&](bool, std::int64_t code) { form_.LogWithCode(MsgIntegrityFailed, code); });
    const StepId enter =
        image == Image::Boot ? stepEnterBootLoaderForBoot : stepEnterBootLoaderForMain;
    GoTo(expanded ? enter : stepStop);
}

// What the boot-loader steps of the two images do differently; the rest is
// one step.
struct Sequencer::BootLoaderEntry {
    // The main code's step is also entered straight from step 21: it takes
    // the port from the boxes again.
    bool takes_flash_port;
    // A modem that would not enter its boot loader: the boot code's HEX file
    // goes at once, the main code's stays until the next clean-up.
    bool drops_hex_when_refused;
    bool (ModemDialogue::*update_needed)();
    StepId upload;
};

const Sequencer::BootLoaderEntry& Sequencer::BootLoaderOf(Image image) {
    static constexpr BootLoaderEntry kBoot{false, true, &ModemDialogue::CheckBootUpdateNeeded,
                                           stepStartBootUpload};
    static constexpr BootLoaderEntry kMain{true, false, &ModemDialogue::CheckMainUpdateNeeded,
                                           stepStartMainUpload};
    return image == Image::Boot ? kBoot : kMain;
}

void Sequencer::EnterBootLoader(Image image) {
    const BootLoaderEntry& entry = BootLoaderOf(image);
    form_.StopTimer1();
    auto& payload = form_.Payload();
    auto& dialogue = form_.Dialogue();
    auto& outcome = form_.MutableOutcome();
    if (entry.takes_flash_port) TakeFlashPort();
    form_.ComPort1().SetBaud(115200);
    if (!dialogue.EnterFlashMode()) {
        if (entry.drops_hex_when_refused) payload.DeleteTempFile(payload.CurrentHexFile());
        GoTo(stepStop);
        return;
    }
    outcome.at_boot_prompt = true;
    if (!(dialogue.*entry.update_needed)()) {
        payload.DeleteTempFile(payload.CurrentHexFile());
        if (image == Image::Main) {
            outcome.main_not_needed = true;
            GoTo(stepStop);
            return;
        }
        // The boot code stays as it is; the modem is told to start its code,
        // and the main code follows.
        dialogue.SkipBootUpdate();
        outcome.at_boot_prompt = false;
        GoTo(stepDropBootHex);
        return;
    }
    if (!dialogue.StartHexProgramming()) {
        GoTo(stepStop);
        return;
    }
    GoTo(entry.upload);
    form_.SetProgressVisible(true);
}

void Sequencer::StartUpload(std::uint8_t stage) {
    form_.StopTimer1();
    FlashStage = stage;
    if (DebugMode) form_.LogMessage(stage == 1 ? MsgFlashingBoot : MsgFlashingMain);
    if (DebugMode) EchoTriggerHandle = form_.ComPort1().NewDataTrigger("\r", false);
    form_.BeginUploadWatch();
    form_.SetGaugeMaxValue(form_.Payload().UploadSize());
    Pause(300);
    auto& payload = form_.Payload();
    form_.Protocol1().StartAsciiSend(payload.TempFilePath(payload.CurrentHexFile()),
                                     payload.UploadCheck());
}

void Sequencer::JudgeBootUpload() {
    form_.StopTimer1();
    form_.Dialogue().AwaitProgramResult(1000);
    Pause(1000);
    GoTo(form_.Fields().ModemAlive ? stepDropBootHex : stepBootFailureNote);
}

void Sequencer::DropBootHex() {
    form_.StopTimer1();
    auto& payload = form_.Payload();
    payload.DeleteTempFile(payload.CurrentHexFile());
    form_.SetGaugeProgress(0);
    GoTo(stepCopyMainImage);
}

void Sequencer::JudgeMainUpload() {
    form_.StopTimer1();
    form_.Dialogue().AwaitProgramResult(5000);
    GoTo(stepRewriteAndReset);
}

void Sequencer::RewriteAndReset() {
    form_.StopTimer1();
    auto& payload = form_.Payload();
    payload.DeleteTempFile(payload.CurrentHexFile());
    if (DebugMode) form_.LogMessage(MsgRewritingNvram);
    form_.LogMessage(MsgResetting);
    form_.Dialogue().RewriteNvram();
    form_.MutableOutcome().nvram_rewritten = true;
    GoTo(stepStop);
}

void Sequencer::BootFailureNote() {
    form_.StopTimer1();
    if (DebugMode) form_.LogMessage(MsgFailure);
    GoTo(stepStop);
}

void Sequencer::Stop() {
    form_.ComPort1().SetOpen(false);
    form_.StopTimer1();
    form_.SetEnabled(ButtonId::Button4, true);
    form_.SetEnabled(ButtonId::Button1, true);
    form_.SetProgressVisible(false);
    form_.SetGaugeProgress(0);
    form_.LogMessage(MsgComplete);
}

} // namespace tollander::app
