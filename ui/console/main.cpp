// tollander-flash-console: the upgrade program with a text front end.
#include "app/flasher_command_line.h"
#include "app/main_form.h"
#include "app/run_record.h"
#include "platform/thread/headless_window_thread.h"
#include "platform/fs/run_dir.h"
#include "platform/fs/self_path.h"
#include "platform/console/stop_signals.h"
#include "platform/console/terminal.h"
#include "ui/console/console_front_end.h"

#include <atomic>
#include <exception>
#include <iostream>

namespace {

using namespace tollander;

// One run; `stopped_by` is the signal that ended it, 0 when none did.
int RunFlasher(int argc, char** argv, const app::FlasherOptions& options,
               platform::StopSignals& signals, int& stopped_by) {
    // The payload is read from the program's own file, whatever argv[0] says,
    // opened now and held to the end: the record and the upload read the
    // same bytes, whatever happens to the file's name meanwhile.
    const platform::SelfFile self = platform::OpenSelf();
    // Nothing to send: said before any port, temporary file or record.
    if (const auto bare = app::NoFirmwareText(self)) {
        std::cerr << "tollander-flash-console: " << *bare << "\n"
                  << app::kNoFirmwareEnding << std::endl;
        return app::kExitNoFirmware;
    }
    std::vector<std::string> command_line{self.path};
    for (int i = 1; i < argc; ++i)
        command_line.emplace_back(argv[i]);

    // The run's own directory for its temporary files; it goes when this
    // returns, however the run ended.
    const platform::RunDirectory run_dir;

    platform::HeadlessWindowThread window;
    ui::ConsoleFrontEnd console(window, std::cin, std::cout, std::cerr);
    console.SetProgressInPlace(platform::StandardErrorIsTerminal());
    console.SetTrace(options.trace);
    // Every run leaves its record; one that cannot be written is said once.
    app::RunRecord record(app::RunRecordPath(), "tollander-flash-console", command_line,
                          self.file.get());
    app::RunRecordFrontEnd recorded(console, record, [&console](const std::string& why) {
        console.Say("tollander-flash-console: " + why);
    });
    console.SetNote([&record](const std::string& text) { record.Note(text); });
    int status = 1;
    {
        app::MainForm form(window, recorded, std::move(command_line),
                           app::MakeSystemDevices(window, self));
        recorded.Attach(&form);
        // A request to stop is weighed on the window thread while the loop
        // runs; one that comes while the run is already ending, or after the
        // loop, ends the process at once.
        std::atomic<int> stopping{0};
        struct Unhandled {
            platform::StopSignals& signals;
            ~Unhandled() { signals.SetHandler(nullptr); }
        } unhandled{signals};
        signals.SetHandler([&](int signal, const std::string& name) {
            if (stopping != 0) platform::StopSignals::EndBy(signal);
            const auto now = ui::StopGuard::Clock::now();
            window.post([&, signal, name, now] {
                if (console.RequestStop(name, now)) stopping = signal;
            });
        });
        status = console.Run(form);
        signals.SetHandler(nullptr);
        stopped_by = stopping;
        if (stopped_by != 0) status = 128 + stopped_by;
        // After "Incorrect flash utility for modem.": the country the modem
        // gave and the ones this flasher accepts.
        if (const std::string& why = form.Outcome().wrong_country; !why.empty())
            console.Say("tollander-flash-console: " + why);
        recorded.Finish("Exit status " + std::to_string(status) + ".");
        // The run's outcome, said once and last.
        console.Say(app::DescribeEnding(form.Outcome()));
    } // the form, its port and its protocol go after the loop has ended
    return status;
}

} // namespace

int main(int argc, char** argv) {
    using namespace tollander;
    platform::WriteTextForTheConsole();
    // --help, --version, --list-ports and a wrong option end here, before any
    // port or temporary file is touched.
    app::FlasherOptions options;
    if (const auto status =
            app::HandleFlasherOptions("tollander-flash-console", argc, argv, &options))
        return *status;
    int stopped_by = 0;
    int status = 1;
    {
        // Before any thread starts; a closed stdout no longer ends the run.
        platform::StopSignals signals;
        try {
            status = RunFlasher(argc, argv, options, signals, stopped_by);
        } catch (const std::exception& e) {
            // Caught, so that the run directory is removed on the way out (or,
            // when it could not be made, to say why).
            std::cerr << "Error: " << e.what() << "\n"
                      << "No upgrade: the flasher stopped with this error." << std::endl;
        }
    }
    // Cleaned up; now the end a signal asked for.
    if (stopped_by != 0) platform::StopSignals::EndBy(stopped_by);
    return status;
}
