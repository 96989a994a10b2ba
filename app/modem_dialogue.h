// The modem conversations the sequencer's steps call: the probe of a port and
// the flash programming dialogue. The sequencer reaches them only through
// this interface; StandardDialogue is the real one (probe.h,
// flash_dialogue.h), tests script their own.
#pragma once

#include <cstdint>
#include <memory>

#include "app/flash_dialogue.h"
#include "app/probe.h"

namespace tollander::app {

class MainForm;

class ModemDialogue {
public:
    virtual ~ModemDialogue() = default;

    virtual void ProbePort(std::uint8_t port) = 0;
    virtual void CheckCountry() = 0;
    virtual bool EnterFlashMode() = 0;
    virtual bool CheckBootUpdateNeeded() = 0;
    virtual bool CheckMainUpdateNeeded() = 0;
    virtual void SkipBootUpdate() = 0;
    virtual bool StartHexProgramming() = 0;
    virtual void AwaitProgramResult(std::uint16_t pause_ms) = 0;
    virtual void CheckModemAfterUpload() = 0;
    virtual void RewriteNvram() = 0;
};

class StandardDialogue final : public ModemDialogue {
public:
    explicit StandardDialogue(MainForm& form) : probe_(form), flash_(form) {}

    void ProbePort(std::uint8_t port) override { probe_.ProbePort(port); }
    void CheckCountry() override { flash_.CheckCountry(); }
    bool EnterFlashMode() override { return flash_.EnterFlashMode(); }
    bool CheckBootUpdateNeeded() override { return flash_.CheckBootUpdateNeeded(); }
    bool CheckMainUpdateNeeded() override { return flash_.CheckMainUpdateNeeded(); }
    void SkipBootUpdate() override { flash_.SkipBootUpdate(); }
    bool StartHexProgramming() override { return flash_.StartHexProgramming(); }
    void AwaitProgramResult(std::uint16_t pause_ms) override {
        flash_.AwaitProgramResult(pause_ms);
    }
    void CheckModemAfterUpload() override { flash_.CheckModemAfterUpload(); }
    void RewriteNvram() override { flash_.RewriteNvram(); }

private:
    Probe probe_;
    FlashDialogue flash_;
};

std::unique_ptr<ModemDialogue> MakeStandardDialogue(MainForm& form);

} // namespace tollander::app
