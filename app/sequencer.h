// The upgrade sequencer: the step machine run by Timer1's ticks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/devices.h"

namespace tollander::app {

class MainForm;

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

private:
    void StartUp();                       // 0
    void ScanPort();                      // 1..4
    void ScanSummary();                   // 5
    void WaitForUser();                   // 20
    void FlashRequested();                // 21
    void CopyImage(Image image);          // 22, 52
    void ExpandStep(Image image);         // 24, 54
    void EnterBootLoaderForBoot();        // 25
    void StartUpload(std::uint8_t stage); // 30, 60
    void JudgeBootUpload();               // 40
    void DropBootHex();                   // 50
    void EnterBootLoaderForMain();        // 55
    void JudgeMainUpload();               // 70
    void RewriteAndReset();               // 90
    void BootFailureNote();               // 95
    void Stop();                          // 99
    void WrongUtilityExit();
    void TakeFlashPort(); // buttons off, FlashPort from the boxes

    MainForm& form_;
    bool in_step_ = false;
};

} // namespace tollander::app
