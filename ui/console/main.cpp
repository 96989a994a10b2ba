// tollander-flash-console: the upgrade program with a text front end.
#include "app/main_form.h"
#include "platform/headless_window_thread.h"
#include "platform/self_path.h"
#include "platform/terminal.h"
#include "ui/console/console_front_end.h"

#include <iostream>

int main(int argc, char** argv) {
    using namespace tollander;
    // The payload is read from the program's own file, whatever argv[0] says.
    std::vector<std::string> command_line{platform::SelfPath()};
    for (int i = 1; i < argc; ++i)
        command_line.emplace_back(argv[i]);

    platform::HeadlessWindowThread window;
    ui::ConsoleFrontEnd console(window, std::cin, std::cout, std::cerr);
    console.SetProgressInPlace(platform::StandardErrorIsTerminal());
    int status = 1;
    {
        app::MainForm form(window, console, std::move(command_line),
                           app::MakeSystemDevices(window));
        status = console.Run(form);
    } // the form, its port and its protocol go after the loop has ended
    return status;
}
