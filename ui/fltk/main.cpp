// tollander-flash: the upgrade program with its window.
#include "app/devices.h"
#include "app/main_form.h"
#include "platform/self_path.h"
#include "ui/fltk/fltk_window_thread.h"
#include "ui/fltk/main_window.h"

#include <FL/Fl.H>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    using namespace tollander;
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) {
        std::fprintf(stderr, "%s: no display; tollander-flash-console runs without one\n", argv[0]);
        return 2;
    }
    // The first item is the program's own file, which carries the payload;
    // argv[0] may be a bare name found on the PATH.
    std::vector<std::string> command_line(argv, argv + argc);
    if (command_line.empty()) command_line.emplace_back();
    command_line[0] = platform::SelfPath();

    ui::FltkWindowThread window_thread;
    ui::TForm1 view(window_thread);
    {
        // Timer1 runs from the form's creation; showing the window resets the
        // scan, so the first tick runs step 0.
        app::MainForm form(window_thread, view, std::move(command_line),
                           app::MakeSystemDevices(window_thread));
        view.Attach(&form);
        view.Show();
        form.Guarded([&] { form.FormShow(); });
        window_thread.run();
        // The loop has ended and every step has unwound: only now do the
        // window's parts go.
        view.Attach(nullptr);
    }
    return 0;
}
