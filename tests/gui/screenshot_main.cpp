// Runs the real window and devices against a packed flasher's payload, waits
// until the scan is over and the program waits for the user, then writes the
// window's pixels as a PPM image.
//
//   gui_screenshot FLASHER OUT.ppm
//
// The ports come from TOLLANDER_COM1..4 as for the program itself.
#include "app/devices.h"
#include "app/main_form.h"
#include "ui/fltk/fltk_window_thread.h"
#include "ui/fltk/main_window.h"

#include <FL/Fl.H>
#include <FL/Fl_Double_Window.H>
#include <FL/fl_draw.H>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

using namespace tollander;

namespace {

bool write_ppm(Fl_Window* window, const std::string& path) {
    window->make_current();
    const int w = window->w(), h = window->h();
    std::unique_ptr<uchar[]> pixels(fl_read_image(nullptr, 0, 0, w, h));
    if (!pixels) return false;
    std::ofstream out(path, std::ios::binary);
    out << "P6\n" << w << " " << h << "\n255\n";
    out.write(reinterpret_cast<const char*>(pixels.get()), static_cast<std::streamsize>(w) * h * 3);
    return static_cast<bool>(out);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s FLASHER OUT.ppm\n", argv[0]);
        return 2;
    }
    ui::FltkWindowThread window_thread;
    ui::TForm1 view(window_thread);
    int status = 1;
    {
        app::MainForm form(window_thread, view, {argv[1]}, app::MakeSystemDevices(window_thread));
        view.Attach(&form);
        view.Show();
        form.FormShow();
        // Looks every 100 ms whether the scan is over; a tool, not a test.
        platform::WindowThread::TimerId check = 0;
        check = window_thread.add_timer(platform::Millis(100), [&] {
            if (!form.WaitingForUser()) return;
            window_thread.stop_timer(check);
            Fl::flush();
            status = write_ppm(view.widgets().Form1, argv[2]) ? 0 : 1;
            window_thread.terminate();
        });
        window_thread.start_timer(check);
        window_thread.run();
        window_thread.remove_timer(check);
        view.Attach(nullptr);
    }
    return status;
}
