// tollander-flash.exe: the upgrade program with its native Windows window.
#include "app/form_layout.h"
#include "app/window_program.h"
#include "platform/text_win32.h"
#include "ui/win32/dialogs.h"
#include "ui/win32/main_window.h"
#include "ui/win32/win32_window_thread.h"

#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace tollander;

// A window program has no console of its own: --help and --version answer
// in the console it was started from, when there is one.
void UseParentConsole() {
    if (GetStdHandle(STD_OUTPUT_HANDLE) != nullptr) return;
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;
    std::freopen("CONOUT$", "w", stdout);
    std::freopen("CONOUT$", "w", stderr);
}

// The arguments as the user typed them, in UTF-8.
std::vector<std::string> Arguments() {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> args;
    for (int i = 0; i < count; ++i)
        args.push_back(platform::win32::Narrow(wide[i]));
    LocalFree(wide);
    return args;
}

// A window program's user sees no stderr: every ending that is a failure is
// also said in a box.
class Win32Shell final : public app::WindowShell<ui::Win32WindowThread, ui::TForm1> {
public:
    void NoFirmware(const std::string& text) override { ShowStop(text); }

    void CannotStart(const std::string& why) override {
        Say("tollander-flash: " + why);
        ShowStop(why);
    }

    // The loop may be gone: the box is the system's own.
    void Failed(const std::string& what) override {
        Say("tollander-flash: " + what);
        MessageBoxW(nullptr, platform::win32::Widen(what).c_str(),
                    platform::win32::Widen(app::layout::kApplicationTitle).c_str(),
                    MB_OK | MB_ICONERROR);
    }

private:
    void ShowStop(const std::string& text) {
        ui::ShowMessageBox(Thread(), nullptr, app::layout::kApplicationTitle, text);
    }
};

} // namespace

int main() {
    UseParentConsole();
    Win32Shell shell;
    return app::RunFlasher(shell, "tollander-flash", Arguments());
}
