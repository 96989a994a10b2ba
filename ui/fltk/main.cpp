// tollander-flash: the upgrade program with its window.
#include "app/window_program.h"
#include "ui/fltk/dialogs.h"
#include "ui/fltk/fltk_window_thread.h"
#include "ui/fltk/main_window.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace tollander;

class FltkShell final : public app::WindowShell<ui::FltkWindowThread, ui::TForm1> {
public:
    explicit FltkShell(std::string argv0) : argv0_(std::move(argv0)) {}

    // Nothing to send: in the window too when there is a display.
    void NoFirmware(const std::string& text) override {
        if (display_) ShowStop(text);
    }

    std::optional<int> Refuse() override {
        if (display_) return std::nullopt;
        Say(argv0_ + ": no display; tollander-flash-console runs without one");
        return 2;
    }

    void CannotStart(const std::string& why) override {
        Failed(why);
        ShowStop(why);
    }

    void Failed(const std::string& what) override { Say(argv0_ + ": " + what); }

private:
    void ShowStop(const std::string& text) {
        ui::ShowMessageBox(Thread(), ui::kApplicationTitle, text, ui::MessageIcon::Stop);
    }

    const std::string argv0_;
    const bool display_ = std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY");
};

} // namespace

int main(int argc, char** argv) {
    FltkShell shell(argc > 0 ? argv[0] : "");
    return app::RunFlasher(shell, "tollander-flash", std::vector<std::string>(argv, argv + argc));
}
