#include "app/modem_dialogue.h"

namespace tollander::app {

std::unique_ptr<ModemDialogue> MakeStandardDialogue(MainForm& form) {
    return std::make_unique<StandardDialogue>(form);
}

} // namespace tollander::app
