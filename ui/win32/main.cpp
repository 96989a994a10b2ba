// tollander-flash.exe: the upgrade program with its native Windows window.
#include "app/flasher_command_line.h"
#include "app/form_layout.h"
#include "app/window_program.h"
#include "platform/fs/run_dir.h"
#include "platform/fs/self_path.h"
#include "platform/text_win32.h"
#include "ui/win32/dialogs.h"
#include "ui/win32/main_window.h"
#include "ui/win32/win32_window_thread.h"

#include <shellapi.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace {

// A window program has no console of its own: --help and --version answer
// in the console it was started from, when there is one.
void use_parent_console() {
    if (GetStdHandle(STD_OUTPUT_HANDLE) != nullptr) return;
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;
    std::freopen("CONOUT$", "w", stdout);
    std::freopen("CONOUT$", "w", stderr);
}

// The arguments as the user typed them, in UTF-8.
std::vector<std::string> arguments() {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> args;
    for (int i = 0; i < count; ++i)
        args.push_back(tollander::platform::win32::Narrow(wide[i]));
    LocalFree(wide);
    return args;
}

void say(const std::string& text) {
    std::fprintf(stderr, "tollander-flash: %s\n", text.c_str());
}

} // namespace

int main() try {
    using namespace tollander;
    use_parent_console();
    std::vector<std::string> command_line = arguments();
    if (command_line.empty()) command_line.emplace_back("tollander-flash");
    std::vector<char*> argv;
    for (auto& arg : command_line)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    // --help, --version, --list-ports and a wrong option end here, before any
    // port or temporary file is touched.
    if (const auto status = app::HandleFlasherOptions(
            "tollander-flash", static_cast<int>(command_line.size()), argv.data()))
        return *status;
    // The first item is the program's own file, which carries the payload,
    // opened now and held to the end of the run.
    const platform::SelfFile self = platform::OpenSelf();
    command_line[0] = self.path;

    ui::Win32WindowThread window_thread;
    // Nothing to send: said before any port, temporary file or record.
    if (const auto bare = app::NoFirmwareText(self)) {
        say(*bare);
        ui::ShowMessageBox(window_thread, nullptr, app::layout::kApplicationTitle, *bare);
        return app::kExitNoFirmware;
    }
    // The run's own directory for its temporary files; it goes when main
    // returns, however the run ended.
    std::unique_ptr<platform::RunDirectory> run_dir;
    try {
        run_dir = std::make_unique<platform::RunDirectory>();
    } catch (const platform::EInOutError& e) {
        say(e.what());
        ui::ShowMessageBox(window_thread, nullptr, app::layout::kApplicationTitle, e.what());
        return 1;
    }
    ui::TForm1 view(window_thread);
    app::RunWindowProgram(window_thread, view, "tollander-flash", self, std::move(command_line),
                          say);
    return 0;
} catch (const std::exception& e) {
    // Caught, so that the run directory is removed on the way out; a window
    // program's user sees no stderr, so the box says it too.
    say(e.what());
    MessageBoxW(nullptr, tollander::platform::win32::Widen(e.what()).c_str(),
                tollander::platform::win32::Widen(tollander::app::layout::kApplicationTitle).c_str(),
                MB_OK | MB_ICONERROR);
    return 1;
}
