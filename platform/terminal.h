// Whether the program's standard error goes to a terminal (a person watching)
// or to a file or pipe (a log), which decides how progress is shown.
#pragma once

namespace tollander::platform {

bool StandardErrorIsTerminal();

} // namespace tollander::platform
