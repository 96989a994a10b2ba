#include "app/flasher_main.h"

#include "app/devices.h"
#include "app/main_form.h"
#include "app/run_record.h"
#include "platform/command_line.h"
#include "platform/fs/io_error.h"
#include "platform/fs/run_dir.h"
#include "platform/fs/self_path.h"

#include <exception>
#include <memory>
#include <utility>

namespace tollander::app {

namespace {

// The run after the options: the caller says what an exception means.
int RunFlasherFrom(FlasherShell& shell, const std::string& program,
                   std::vector<std::string> command_line) {
    // The payload is read from the program's own file, whatever argv[0] says
    // (a bare name found on the PATH), opened now and held to the end: the
    // record and the upload read the same bytes, whatever happens to the
    // file's name meanwhile.
    const platform::SelfFile self = platform::OpenSelf();
    // Nothing to send: said before any port, temporary file or record.
    if (const auto bare = NoFirmwareText(self)) {
        shell.Say(program + ": " + *bare);
        shell.NoFirmware(*bare);
        return kExitNoFirmware;
    }
    if (const auto status = shell.Refuse()) return *status;
    // The first item is the program's own file.
    command_line[0] = self.path;

    // The run's own directory for its temporary files; it goes when this
    // returns, however the run ended.
    std::unique_ptr<platform::RunDirectory> run_dir;
    try {
        run_dir = std::make_unique<platform::RunDirectory>();
    } catch (const platform::EInOutError& e) {
        shell.CannotStart(e.what());
        return platform::kExitFailure;
    }
    const FlasherShell::Parts parts = shell.Open();
    // Every run leaves its record; one that cannot be written is said once.
    RunRecord record(RunRecordPath(), program, command_line, self.file.get());
    RunRecordFrontEnd recorded(parts.view, record, [&shell, &program](const std::string& why) {
        shell.Say(program + ": " + why);
    });
    FlasherShell::Ran ran;
    {
        // Timer1 runs from the form's creation; showing the window resets
        // the scan, so the first tick runs step 0.
        MainForm form(parts.window, recorded, std::move(command_line),
                      MakeSystemDevices(parts.window, self));
        recorded.Attach(&form);
        ran = shell.Run(form, record);
        recorded.Finish(ran.detail);
        shell.Ended(form.Outcome());
    } // the form, its port and its protocol go after the loop has ended
    return ran.status;
}

} // namespace

int RunFlasher(FlasherShell& shell, const std::string& program, std::vector<std::string> args) {
    if (args.empty()) args.push_back(program);
    try {
        // --help, --version, --list-ports and a wrong option end here, before
        // any port or temporary file is touched.
        std::vector<char*> argv;
        for (auto& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        FlasherOptions options;
        if (const auto status = HandleFlasherOptions(program, static_cast<int>(args.size()),
                                                     argv.data(), &options))
            return *status;
        shell.Begin(options);
        return RunFlasherFrom(shell, program, std::move(args));
    } catch (const std::exception& e) {
        // Caught, so that the run's directory is removed on the way out (or,
        // when it could not be made, to say why).
        shell.Failed(e.what());
        return platform::kExitFailure;
    }
}

} // namespace tollander::app
