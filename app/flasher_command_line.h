// The flashers' own options, answered before anything touches a serial port
// or a temporary file: --help (-h), --version (-V), --list-ports, and any
// other word with a leading "-" as a usage error. Every other argument is
// left to the sequencer, whose only switch is a first argument "/ud" or "/UD".
#pragma once

#include "platform/fs/self_path.h"

#include <iosfwd>
#include <optional>
#include <string>

namespace tollander::app {

// What the options ask of a run that goes on.
struct FlasherOptions {
    bool trace = false; // --trace: the line's traffic on stderr too
};

// `program`: "tollander-flash" or "tollander-flash-console". Gives the exit
// status when the program ends here (0 after --help, --version and
// --list-ports, 2 after a usage error), nothing when the upgrade runs; then
// `options`, when given, holds what was asked.
std::optional<int> HandleFlasherOptions(const std::string& program, int argc, char** argv,
                                        FlasherOptions* options = nullptr);

// The exit status of a flasher that carries no firmware.
inline constexpr int kExitNoFirmware = 4;

// When nothing was appended to the program's own file (the flasher as built,
// before a vendor packs a modem's firmware into it), what to tell the user;
// such a program opens no port and writes no run record. Nothing for a file
// that carries something, even a damaged payload: the run judges that.
std::optional<std::string> NoFirmwareText(const platform::SelfFile& self);

// The last line a console flasher without firmware writes on stderr.
inline constexpr const char* kNoFirmwareEnding = "No upgrade: this program carries no firmware";

// COM1 to COM4: each one's device and what the system knows of it, without
// opening any.
void ListPorts(std::ostream& out);

} // namespace tollander::app
