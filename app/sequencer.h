// The upgrade sequencer: the step machine run by Timer1's ticks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/devices.h"

namespace tollander::app {

class MainForm;

// The steps of the upgrade: each value is its step's number. Any other number
// makes a tick do nothing.
enum StepId : std::uint16_t {
    stepStartUp = 0,
    stepScanCom1 = 1,
    stepScanCom2 = 2,
    stepScanCom3 = 3,
    stepScanCom4 = 4,
    stepScanSummary = 5,
    stepWaitForUser = 20,
    stepFlashRequested = 21,
    stepCopyBootImage = 22,
    stepExpandBootImage = 24,
    stepEnterBootLoaderForBoot = 25,
    stepStartBootUpload = 30,
    stepJudgeBootUpload = 40,
    stepDropBootHex = 50,
    stepCopyMainImage = 52,
    stepExpandMainImage = 54,
    stepEnterBootLoaderForMain = 55,
    stepStartMainUpload = 60,
    stepJudgeMainUpload = 70,
    stepRewriteAndReset = 90,
    stepBootFailureNote = 95,
    stepStop = 99,
};

// The step after the scan of COM`port` (1..4): the next port's, or the summary.
constexpr std::uint16_t StepAfterScanOf(int port) {
    return static_cast<std::uint16_t>(stepScanCom1 + port);
}
static_assert(StepAfterScanOf(1) == stepScanCom2 && StepAfterScanOf(4) == stepScanSummary);

class Sequencer {
public:
    explicit Sequencer(MainForm& form) : form_(form) {}

    std::uint16_t StepNumber = 0;
    std::uint8_t FlashStage = 1;
    std::string ExePath;
    bool DebugMode = false;
    std::uint16_t EchoTriggerHandle = 0;

    // One step per tick; a step number without a meaning does nothing.
    void Timer1Timer();

    // Waits at least `ms` milliseconds, processing window messages meanwhile;
    // blocks in the window thread's wait, never spins. Throws StepAborted when
    // the main window closes during the wait.
    void Pause(std::uint16_t ms);

    // ExePath := the first item of the command line; DebugMode := true when
    // the first argument is exactly "/ud" or "/UD".
    void ReadCommandLine();

    // True while a step runs (inside Timer1Timer).
    bool InStep() const { return in_step_; }

    // True for the steps that have a meaning.
    static bool IsStep(std::uint16_t step);

    // The step that judges the upload of the current FlashStage.
    StepId ResultStep() const {
        return FlashStage == 1 ? stepJudgeBootUpload : stepJudgeMainUpload;
    }

private:
    using StepWork = void (*)(Sequencer&);
    // The step table: the work of `step`, or null for a number without one.
    static StepWork FindStep(std::uint16_t step);

    void StartUp();
    void ScanPort();
    void ScanSummary();
    void WaitForUser();
    void FlashRequested();
    void CopyImage(Image image);
    void ExpandStep(Image image);
    // Steps 25 and 55: the modem into its boot loader for `image`, asked
    // whether it needs it, and told to take the HEX text.
    void EnterBootLoader(Image image);
    void StartUpload(std::uint8_t stage);
    void JudgeBootUpload();
    void DropBootHex();
    void JudgeMainUpload();
    void RewriteAndReset();
    void BootFailureNote();
    void Stop();
    void WrongUtilityExit();
    void TakeFlashPort(); // buttons off, FlashPort from the boxes
    // The next tick runs `step`.
    void GoTo(StepId step);

    struct BootLoaderEntry;
    static const BootLoaderEntry& BootLoaderOf(Image image);

    MainForm& form_;
    bool in_step_ = false;
};

} // namespace tollander::app
