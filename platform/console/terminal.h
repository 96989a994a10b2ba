// Whether the program's standard error goes to a terminal (a person watching)
// or to a file or pipe (a log), which decides how progress is shown.
#pragma once

namespace tollander::platform {

bool StandardErrorIsTerminal();

// The standard output and error (std::cout, std::cerr) show their UTF-8 text
// as it is on the user's console, in any language: on a Windows console
// written as UTF-16; to a file or a pipe, and on other systems, as the
// UTF-8 bytes. Called once, before anything is written.
void WriteTextForTheConsole();

} // namespace tollander::platform
