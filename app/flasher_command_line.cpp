#include "app/flasher_command_line.h"

#include "app/form_layout.h"
#include "payload/inspection.h"
#include "payload/program_length.h"
#include "platform/command_line.h"
#include "platform/fs/dos_time.h"
#include "platform/serial/port_info.h"
#include "platform/serial/port_map.h"
#include "platform/fs/self_path.h"

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
           "  --trace        every command sent to the modem, every answer and each block\n"
           "                 of an upload, with the milliseconds since the start, on stderr\n"
           "                 (tollander-flash-console); the run record always keeps them\n"
           "  -h, --help     show this text\n"
           "  -V, --version  show the program's version and the firmware it carries\n"
           "\n"
           "Any other argument is ignored, and so is /ud anywhere but first.\n"
           "TOLLANDER_COM1 to TOLLANDER_COM4 name the ports' devices; with none set, the\n"
           "machine's first four serial ports are taken.\n";
}

// What the flasher carries, read as tollander-pack --inspect reads it.
std::string CarriedText() {
    try {
        const payload::Inspection carried = payload::InspectFile(platform::SelfPath());
        const auto image = [](const payload::ImageInfo& info) -> std::string {
            if (!info.present) return "none";
            if (!info.archive) return "not a compressed file";
            return info.stored_name + ", " + platform::FormatDosTime(info.file_date) +
                   ", SHA-256 " + info.sha256.substr(0, 12);
        };
        const payload::ConfigRecord& record = carried.record;
        return "Boot model   = " + record.BootModel + "\n" +
               "Main model   = " + record.MainModel + "\n" +
               "Boot image   = " + image(carried.boot) + "\n" +
               "Main image   = " + image(carried.main) + "\n" +
               "Language     = " + std::string(payload::LanguageName(record.Language)) + "\n" +
               "Countries    = " + payload::CountryList(record.CountryFlags) + "\n";
    } catch (const std::exception& e) {
        return "Firmware     = none: " + std::string(e.what()) + "\n";
    }
}

// The program's version and the About box's, then what the flasher carries.
std::string VersionText(const std::string& program) {
    return program + " " + platform::ProgramVersion() + "\n" + layout::kMainCaption + ", " +
           layout::about::kVersionText + "\n" + CarriedText();
}

} // namespace

std::optional<std::string> NoFirmwareText(const platform::SelfFile& self) {
    if (!self.file || !self.file->Valid() || !payload::IsBareProgram(*self.file))
        return std::nullopt;
    return "This program carries no firmware, so it cannot upgrade a modem: it is the flasher "
           "as built. A vendor packs a modem's firmware into it with tollander-pack (see "
           "tollander-pack --help); run the flasher your modem's vendor supplies. No port was "
           "opened.";
}

void ListPorts(std::ostream& out) {
    for (unsigned n = 1; n <= platform::kMappedPorts; ++n)
        for (const auto& line : platform::PortFactLines(n, platform::DescribePort(n)))
            out << line << '\n';
    for (const auto& line : platform::SystemPortLines())
        out << line << '\n';
    out.flush();
}

std::optional<int> HandleFlasherOptions(const std::string& program, int argc, char** argv,
                                        FlasherOptions* options) {
    bool list_ports = false;
    bool trace = false;
    platform::CommandLine command_line(program, Usage(program));
    // "/ud" and the rest are operands; any word with a leading "-" is an
    // option, so that a mistyped one stops here instead of starting a scan.
    command_line.UsageOnError()
        .VersionText([&program] { return VersionText(program); })
        .Flag("list-ports", 0, list_ports)
        .Flag("trace", 0, trace);
    if (auto status = command_line.Parse(argc, argv)) return status;
    if (list_ports) {
        ListPorts(std::cout);
        return platform::kExitSuccess;
    }
    if (options) options->trace = trace;
    return std::nullopt;
}

} // namespace tollander::app
