// tollander-flash: the upgrade program with its window.
#include "app/flasher_command_line.h"
#include "app/window_program.h"
#include "platform/fs/run_dir.h"
#include "platform/fs/self_path.h"
#include "ui/fltk/dialogs.h"
#include "ui/fltk/fltk_window_thread.h"
#include "ui/fltk/main_window.h"

#include <FL/Fl.H>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <vector>

int main(int argc, char** argv) try {
    using namespace tollander;
    // --help, --version, --list-ports and a wrong option end here, before any
    // port or temporary file is touched (and without a display).
    if (const auto status = app::HandleFlasherOptions("tollander-flash", argc, argv))
        return *status;
    const bool display = std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY");
    // The program's own file, which carries the payload; argv[0] may be a
    // bare name found on the PATH.
    const platform::SelfFile self = platform::OpenSelf();
    // Nothing to send: said before any port, temporary file or record, in
    // the window too when there is a display.
    if (const auto bare = app::NoFirmwareText(self)) {
        std::fprintf(stderr, "tollander-flash: %s\n", bare->c_str());
        if (display) {
            ui::FltkWindowThread window_thread;
            ui::ShowMessageBox(window_thread, ui::kApplicationTitle, *bare, ui::MessageIcon::Stop);
        }
        return app::kExitNoFirmware;
    }
    if (!display) {
        std::fprintf(stderr, "%s: no display; tollander-flash-console runs without one\n", argv[0]);
        return 2;
    }
    // The first item is the program's own file.
    std::vector<std::string> command_line(argv, argv + argc);
    if (command_line.empty()) command_line.emplace_back();
    command_line[0] = self.path;

    ui::FltkWindowThread window_thread;
    // The run's own directory for its temporary files; it goes when main
    // returns, however the run ended.
    std::unique_ptr<platform::RunDirectory> run_dir;
    try {
        run_dir = std::make_unique<platform::RunDirectory>();
    } catch (const platform::EInOutError& e) {
        std::fprintf(stderr, "%s: %s\n", argv[0], e.what());
        ui::ShowMessageBox(window_thread, ui::kApplicationTitle, e.what(), ui::MessageIcon::Stop);
        return 1;
    }
    ui::TForm1 view(window_thread);
    app::RunWindowProgram(window_thread, view, "tollander-flash", self, std::move(command_line),
                          [](const std::string& why) {
                              std::fprintf(stderr, "tollander-flash: %s\n", why.c_str());
                          });
    return 0;
} catch (const std::exception& e) {
    // Caught, so that the run directory is removed on the way out.
    std::fprintf(stderr, "%s: %s\n", argv[0], e.what());
    return 1;
}
