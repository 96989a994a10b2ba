// The conversations with the modem chosen for flashing: country check, boot
// loader entry, update checks, HEX programming handshake, verdict, NVRAM.
#pragma once

#include <cstdint>
#include <string>

#include "app/devices.h"

namespace tollander::app {

class MainForm;

class FlashDialogue {
public:
    explicit FlashDialogue(MainForm& form) : form_(form) {}

    // Sets the form's CountryMismatch.
    void CheckCountry();
    // True: the modem is at its boot prompt and the port is open.
    bool EnterFlashMode();
    bool CheckBootUpdateNeeded();
    bool CheckMainUpdateNeeded();
    void SkipBootUpdate();
    // True: the boot loader awaits the HEX upload.
    bool StartHexProgramming();
    // Reads the verdict, pauses `pause_ms`, then CheckModemAfterUpload.
    void AwaitProgramResult(std::uint16_t pause_ms);
    // Sets the form's ModemAlive.
    void CheckModemAfterUpload();
    void RewriteNvram();

private:
    // The "ATI0" exchange both update checks share.
    bool CheckUpdateNeeded(const std::string& model_code, Image image);

    MainForm& form_;
};

} // namespace tollander::app
