// A whole upgrade through the window: the real port, protocol and payload on
// the FLTK window thread, the sample flasher's images, a virtual modem on
// COM1, and the user's clicks on the real widgets.
#include "app/devices.h"
#include "tests/gui/fltk_click.h"
#include "app/main_form.h"
#include "tests/e2e/fixture.h"
#include "ui/fltk/fltk_window_thread.h"
#include "ui/fltk/main_window.h"

// Before the X11 headers, whose macros (None, Button1...) clash with it.
#include <gtest/gtest.h>

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Check_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Output.H>
#include <FL/Fl_Progress.H>
#include <FL/Fl_Text_Buffer.H>
#include <FL/Fl_Text_Display.H>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <regex>
#include <string>

#undef Button1
#undef Button2
#undef Button4

using namespace tollander;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

using tollander::testing::Click;

// Serves the window until `done` holds; false when the guard ran out first.
bool RunUntil(ui::FltkWindowThread& window, const std::function<bool()>& done,
               std::chrono::seconds guard) {
    const auto end = std::chrono::steady_clock::now() + guard;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end || window.terminating()) return done();
        window.wait(1s);
    }
    return true;
}

std::string LastLine(Fl_Text_Display* memo) {
    char* raw = memo->buffer()->text();
    std::string text(raw);
    free(raw);
    const auto cut = text.rfind('\n');
    return cut == std::string::npos ? text : text.substr(cut + 1);
}

} // namespace

TEST(WindowUpgrade, ScanClickFlashAndCompleteAgainstTheVirtualModem) {
    std::string pattern = (fs::temp_directory_path() / "tollander-gui-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const std::string dir = pattern;
    const auto old_cwd = fs::current_path();
    fs::current_path(dir);
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);

    const std::string firmware = e2e::FirmwareDir();
    e2e::VModem modem(
        dir, 1,
        {"--expect", firmware + "/FLS0228.HEX", "--expect", firmware + "/F2ZE0529.HEX", "--once"});
    setenv("TOLLANDER_COM1", modem.Device().c_str(), 1);
    for (const char* unmapped : {"TOLLANDER_COM2", "TOLLANDER_COM3", "TOLLANDER_COM4"})
        setenv(unmapped, "", 1);

    ui::FltkWindowThread window;
    ui::TForm1 view(window);
    {
        app::MainForm form(window, view, {e2e::BinDir() + "/tollander-flash-sample"},
                           app::MakeSystemDevices(window));
        view.Attach(&form);
        view.Show();
        form.FormShow();
        const auto& w = view.TheWidgets();

        ASSERT_TRUE(RunUntil(
            window, [&] { return form.WaitingForUser(); }, 60s));
        EXPECT_STREQ(w.Edit[1]->value(), "Tollander modem found.");
        EXPECT_EQ(w.CheckBox[1]->value(), 1);
        EXPECT_TRUE(w.CheckBox[1]->active());
        ASSERT_TRUE(w.Button2->active());

        Click(w.Button2);
        EXPECT_EQ(form.TheSequencer().StepNumber, app::stepFlashRequested); // runs at the next tick
        // On the bar during the main image: the image, the bytes the line has
        // sent and the time left.
        const std::regex told(R"(Main code \(2\): \d+ of )" +
                              std::to_string(fs::file_size(firmware + "/F2ZE0529.HEX")) +
                              R"( bytes, \d+%, [\d.]+ kB/s, \d+:\d\d left)");
        bool seen = false;
        ASSERT_TRUE(RunUntil(
            window,
            [&] {
                const char* label = w.Gauge1->label();
                seen = seen || (w.Gauge1->visible() && label && std::regex_match(label, told));
                return form.WaitingForUser();
            },
            240s));
        EXPECT_TRUE(seen);

        EXPECT_EQ(form.TheSequencer().StepNumber, app::stepStop);
        EXPECT_EQ(LastLine(w.Memo1), "Complete.");
        const auto& log = form.Memo1();
        EXPECT_EQ(std::count(log.begin(), log.end(), "Flash file upload sent successfully."), 2);
        EXPECT_TRUE(w.Button1->active());
        EXPECT_TRUE(w.Button4->active());
        EXPECT_FALSE(w.Button2->active());
        EXPECT_FALSE(w.Gauge1->visible());
        view.Attach(nullptr);
    }
    // Both images reached the modem byte for byte.
    EXPECT_EQ(modem.WaitExit(10s), 0);
    fs::current_path(old_cwd);
    if (!::testing::Test::HasFailure()) fs::remove_all(dir);
}
