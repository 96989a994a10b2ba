// The window's fields: what the sequencer, the probe and the flash dialogue
// tell each other about the ports and the modem. The form holds them
// (MainForm::Fields()); everything here runs on the window thread. Each
// field names who writes it and who reads it; nobody else touches it.
#pragma once

#include "app/catalogue.h"

#include <array>
#include <cstdint>
#include <string>

namespace tollander::app {

struct WindowFields {
    static constexpr int kPorts = 4; // COM1..COM4; the arrays are indexed 1..4

    // The port to flash, 1..4 (0 for none).
    // Written: the sequencer's steps 21 and 55, from the ticked box.
    // Read: the flash dialogue (the port of every command of the flash), the
    // sequencer's step 21, the form's upload error handler (the row's note)
    // and the run record ("Port used").
    std::uint8_t FlashPort = 0;
    // The port answered "OK" or "Boot>" and, after "ATI3", the family's name.
    // Written and read: the probe only.
    std::array<bool, kPorts + 1> ModemFound{};
    // One of ours: its box may be ticked.
    // Written: the probe. Read: the sequencer's step 5 (enables the boxes).
    std::array<bool, kPorts + 1> PortFlashable{};
    // Found at its boot prompt with its code corrupt or missing.
    // Written: the probe. Read: the flash dialogue's EnterFlashMode (already
    // in its boot loader) and the sequencer's step 21 (the run's outcome).
    std::array<bool, kPorts + 1> ModemCodeBad{};
    // The flashable modems of the last scan.
    // Written: the probe. Read: the sequencer's step 5.
    std::uint8_t ModemCount = 0;
    // The modem's echo during an upload with /ud, up to its carriage return.
    // Written and read: the form's ComPort1 trigger handlers only.
    std::string EchoBuffer;
    // The modem's country is not one the flasher is built for.
    // Written: the flash dialogue's CheckCountry; cleared by "&Start Over".
    // Read: the sequencer's step 21 (the wrong-utility exit).
    bool CountryMismatch = false;
    // The boot loader answered after an upload ("Starting" or "Corrupt").
    // Written: the flash dialogue's CheckModemAfterUpload. Read: the
    // sequencer's step 40.
    bool ModemAlive = false;
    // Why each row reads as it does, beyond its text (no control of the
    // window): what kept the port from being used, or who else has its device
    // open.
    // Written: the probe's notes (probe.h), which the flash dialogue and the
    // form's upload error handler use too; each then calls Changed().
    // Read: the front ends (stderr, the row's tooltip) and the run record.
    std::array<std::string, kPorts + 1> PortNote{};
    // The catalogue's language index (1..5); 1 until the record is applied.
    // Written: the sequencer's step 0, from the configuration record.
    // Read: the form's MessageText, for every catalogue line.
    int MessageLanguage = kEnglish;

    // What showing the window and "&Start Over" clear: the last scan and the
    // port chosen from it.
    void ClearScan() {
        FlashPort = 0;
        ModemFound.fill(false);
        PortFlashable.fill(false);
        ModemCodeBad.fill(false);
        ModemCount = 0;
        for (std::string& note : PortNote)
            note.clear();
    }
};

} // namespace tollander::app
