#include "platform/console/terminal.h"

#include <unistd.h>

namespace tollander::platform {

bool StandardErrorIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}

} // namespace tollander::platform
