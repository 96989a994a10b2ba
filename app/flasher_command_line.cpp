#include "app/flasher_command_line.h"

#include "platform/command_line.h"
#include "platform/port_info.h"
#include "platform/port_map.h"

#include <iostream>

namespace tollander::app {

namespace {

std::string Usage(const std::string& program) {
    return "Usage: " + program +
           " [/ud] [OPTION]\n"
           "Upgrades the firmware of a Tollander modem on COM1 to COM4 with the firmware\n"
           "this flasher carries.\n"
           "\n"
           "  /ud, /UD       as the first argument: diagnostic lines in the event log\n"
           "  --list-ports   show COM1 to COM4: the device, its driver and USB identity,\n"
           "                 whether you may open it; sends nothing to any device\n"
           "  --help         show this text\n"
           "  --version      show the program's name and version\n"
           "\n"
           "TOLLANDER_COM1 to TOLLANDER_COM4 name the ports' devices; with none set, the\n"
           "machine's first four serial ports are taken.\n";
}

} // namespace

void ListPorts(std::ostream& out) {
    for (unsigned n = 1; n <= platform::kMappedPorts; ++n)
        for (const auto& line : platform::port_fact_lines(n, platform::describe_port(n)))
            out << line << '\n';
    for (const auto& line : platform::system_port_lines())
        out << line << '\n';
    out.flush();
}

std::optional<int> HandleFlasherOptions(const std::string& program, int argc, char** argv) {
    bool list_ports = false;
    platform::CommandLine command_line(program, Usage(program));
    // "/ud" and the rest are operands; a lone "-x" is too.
    command_line.LongOptionsOnly().UsageOnError().Flag("list-ports", 0, list_ports);
    if (auto status = command_line.Parse(argc, argv)) return status;
    if (list_ports) {
        ListPorts(std::cout);
        return platform::kExitSuccess;
    }
    return std::nullopt;
}

} // namespace tollander::app
