// tollander-flash-console: the upgrade program with a text front end.
#include "app/flasher_command_line.h"
#include "app/main_form.h"
#include "app/run_record.h"
#include "platform/headless_window_thread.h"
#include "platform/run_dir.h"
#include "platform/self_path.h"
#include "platform/terminal.h"
#include "ui/console/console_front_end.h"

#include <exception>
#include <iostream>

int main(int argc, char** argv) try {
    using namespace tollander;
    platform::WriteTextForTheConsole();
    // --help, --version, --list-ports and a wrong option end here, before any
    // port or temporary file is touched.
    if (const auto status = app::HandleFlasherOptions("tollander-flash-console", argc, argv))
        return *status;
    // The payload is read from the program's own file, whatever argv[0] says.
    std::vector<std::string> command_line{platform::SelfPath()};
    for (int i = 1; i < argc; ++i)
        command_line.emplace_back(argv[i]);

    // The run's own directory for its temporary files; it goes when main
    // returns, however the run ended.
    const platform::RunDirectory run_dir;

    platform::HeadlessWindowThread window;
    ui::ConsoleFrontEnd console(window, std::cin, std::cout, std::cerr);
    console.SetProgressInPlace(platform::StandardErrorIsTerminal());
    // Every run leaves its record; one that cannot be written is said once.
    app::RunRecord record(app::RunRecordPath(), "tollander-flash-console", command_line);
    app::RunRecordFrontEnd recorded(console, record, [&console](const std::string& why) {
        console.Say("tollander-flash-console: " + why);
    });
    int status = 1;
    {
        app::MainForm form(window, recorded, std::move(command_line),
                           app::MakeSystemDevices(window));
        recorded.Attach(&form);
        status = console.Run(form);
        recorded.Finish("exit status " + std::to_string(status));
    } // the form, its port and its protocol go after the loop has ended
    return status;
} catch (const std::exception& e) {
    // Caught, so that the run directory is removed on the way out (or, when
    // it could not be made, to say why).
    std::cerr << "Error: " << e.what() << std::endl;
    return 1;
}
