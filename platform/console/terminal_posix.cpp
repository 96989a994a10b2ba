#include "platform/console/terminal.h"

namespace tollander::platform {

// A terminal here takes the UTF-8 bytes as they are.
void WriteTextForTheConsole() {}

} // namespace tollander::platform
