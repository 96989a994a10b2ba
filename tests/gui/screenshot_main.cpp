// Runs the real window and devices against a packed flasher's payload, waits
// until the scan is over and the program waits for the user, then writes the
// window's pixels as a PPM image.
//
//   gui_screenshot [--measure | --log-end] FLASHER OUT.ppm
//
// --log-end: the event log has the focus and is scrolled to the end of its
// widest line (the End key), as a user reads a long line.
// --measure also prints the time from start to the first event-log line (the
// first tick's banner), the resident memory, the CPU time used while the
// window then sits idle for ten seconds, and during a Pause of 5000 ms. The ports come from
// TOLLANDER_COM1..4 as for the program itself.
#include "app/devices.h"
#include "app/main_form.h"
#include "ui/fltk/fltk_window_thread.h"
#include "ui/fltk/main_window.h"

#include <FL/Fl.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Text_Display.H>
#include <FL/fl_draw.H>

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using namespace tollander;
using Clock = std::chrono::steady_clock;

namespace {

// Start of the process, taken as early as static initialisation allows.
const Clock::time_point process_start = Clock::now();

bool WritePpm(Fl_Window* window, const std::string& path) {
    window->make_current();
    const int w = window->w(), h = window->h();
    std::unique_ptr<uchar[]> pixels(fl_read_image(nullptr, 0, 0, w, h));
    if (!pixels) return false;
    std::ofstream out(path, std::ios::binary);
    out << "P6\n" << w << " " << h << "\n255\n";
    out.write(reinterpret_cast<const char*>(pixels.get()), static_cast<std::streamsize>(w) * h * 3);
    return static_cast<bool>(out);
}

double CpuMs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

std::string StatusLine(const std::string& key) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(key + ":", 0) == 0) return line;
    return key + ": ?";
}

// Passes everything to the window and notes when the first line is logged.
class Recorder final : public app::FrontEnd {
public:
    explicit Recorder(ui::TForm1& view) : view_(view) {}
    void ModelChanged() override { view_.ModelChanged(); }
    void LineLogged(const std::string& line) override {
        if (!first_line_) first_line_ = Clock::now();
        view_.LineLogged(line);
    }
    void LogCleared() override { view_.LogCleared(); }
    void ShowMessage(const std::string& text, app::MessageKind kind) override {
        view_.ShowMessage(text, kind);
    }
    void ShowAbout() override { view_.ShowAbout(); }
    void CloseMainWindow() override { view_.CloseMainWindow(); }

    std::optional<Clock::time_point> first_line_;

private:
    ui::TForm1& view_;
};

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    const bool measure = !args.empty() && args[0] == "--measure";
    const bool log_end = !args.empty() && args[0] == "--log-end";
    if (measure || log_end) args.erase(args.begin());
    if (args.size() != 2) {
        std::fprintf(stderr, "usage: %s [--measure | --log-end] FLASHER OUT.ppm\n", argv[0]);
        return 2;
    }
    ui::FltkWindowThread window_thread;
    ui::TForm1 view(window_thread);
    Recorder recorder(view);
    int status = 1;
    {
        app::MainForm form(window_thread, recorder, {args[0]},
                           app::MakeSystemDevices(window_thread));
        view.Attach(&form);
        view.Show();
        form.FormShow();
        double idle_from = 0;
        auto finish = [&] {
            if (log_end) {
                Fl_Text_Display* log = view.TheWidgets().Memo1;
                log->take_focus();
                Fl::e_keysym = FL_End;
                Fl::e_state = 0;
                Fl::handle(FL_KEYBOARD, view.TheWidgets().Form1);
            }
            Fl::flush();
            status = WritePpm(view.TheWidgets().Form1, args[1]) ? 0 : 1;
            window_thread.terminate();
        };
        platform::WindowThread::TimerId idle = 0;
        idle = window_thread.add_timer(std::chrono::seconds(10), [&] {
            window_thread.stop_timer(idle);
            std::printf("idle CPU time over 10 s at step %u: %.1f ms\n",
                        form.TheSequencer().StepNumber, CpuMs() - idle_from);
            const double before = CpuMs();
            const auto start = Clock::now();
            form.Pause(5000);
            std::printf("CPU time during Pause(5000): %.1f ms (it lasted %.0f ms)\n",
                        CpuMs() - before,
                        std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            finish();
        });
        // Looks every 100 ms whether the scan is over; a tool, not a test.
        platform::WindowThread::TimerId check = 0;
        check = window_thread.add_timer(platform::Millis(100), [&] {
            if (!form.WaitingForUser()) return;
            window_thread.stop_timer(check);
            if (!measure) return finish();
            const auto startup = std::chrono::duration<double, std::milli>(
                recorder.first_line_.value_or(process_start) - process_start);
            std::printf("start to first event-log line: %.0f ms\n", startup.count());
            std::printf("%s\n%s\n", StatusLine("VmRSS").c_str(), StatusLine("VmHWM").c_str());
            std::fflush(stdout);
            idle_from = CpuMs();
            window_thread.start_timer(idle);
        });
        window_thread.start_timer(check);
        window_thread.run();
        window_thread.remove_timer(check);
        window_thread.remove_timer(idle);
        view.Attach(nullptr);
    }
    return status;
}
