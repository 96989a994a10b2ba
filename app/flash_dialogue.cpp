#include "app/flash_dialogue.h"

#include "app/main_form.h"

namespace tollander::app {

// Minimal bodies for now: the modem is not asked yet, and every step that
// depends on an answer takes the path that stops the upgrade.

void FlashDialogue::CheckCountry() {
    form_.CountryMismatch = false;
}

bool FlashDialogue::EnterFlashMode() {
    form_.ComPort1().SetComNumber(form_.FlashPort);
    form_.LogMessage(MsgNoFlashSupport);
    return false;
}

bool FlashDialogue::CheckBootUpdateNeeded() {
    return false;
}

bool FlashDialogue::CheckMainUpdateNeeded() {
    return false;
}

void FlashDialogue::SkipBootUpdate() {}

bool FlashDialogue::StartHexProgramming() {
    return false;
}

void FlashDialogue::AwaitProgramResult(std::uint16_t pause_ms) {
    form_.Pause(pause_ms);
    CheckModemAfterUpload();
}

void FlashDialogue::CheckModemAfterUpload() {
    form_.ModemAlive = false;
}

void FlashDialogue::RewriteNvram() {}

} // namespace tollander::app
