// The start-up and the end of every flasher, written once: its options, the
// program's own file and the firmware check, the run's directory and record,
// the form on the real devices, and the exit statuses. A front end's main
// supplies a FlasherShell, what is its own (a window system, a console), and
// calls RunFlasher.
#pragma once

#include "app/flasher_command_line.h"
#include "app/front_end.h"
#include "platform/thread/window_thread.h"

#include <optional>
#include <string>
#include <vector>

namespace tollander::app {

class MainForm;
class RunRecord;
struct RunOutcome;

// What a front end supplies. RunFlasher calls these on the main thread, in
// the order they are declared, each at most once (Say at any time), and
// stops at the first that ends the program.
class FlasherShell {
public:
    // The loop the form runs under and the front end it talks to.
    struct Parts {
        platform::WindowThread& window;
        FrontEnd& view;
    };
    // How the form's run ended: the exit status, and what the run record's
    // ending line carries after the ending ("" or "Exit status 0.").
    struct Ran {
        int status = 0;
        std::string detail;
    };

    virtual ~FlasherShell() = default;

    // A line of the program's own on stderr ("PROGRAM: ...").
    virtual void Say(const std::string& line) = 0;
    // The options were answered and the run goes on: nothing is made yet.
    virtual void Begin(const FlasherOptions& /*options*/) {}
    // The program carries no firmware, said on stderr already: what the front
    // end adds to that ending (a box, a last line). Exit status
    // kExitNoFirmware, before any port, temporary file or record.
    virtual void NoFirmware(const std::string& /*text*/) {}
    // A status that ends the program here, after the firmware check and
    // before the run's directory (a window program without a display).
    virtual std::optional<int> Refuse() { return std::nullopt; }
    // The run's directory cannot be made (exit status 1); by default as any
    // other failure.
    virtual void CannotStart(const std::string& why) { Failed(why); }
    // The loop and the front end, made now, after the run's directory, and
    // kept until the shell goes.
    virtual Parts Open() = 0;
    // Shows the form (its record between it and the view) and runs it to its
    // end. The record is finished after it.
    virtual Ran Run(MainForm& form, RunRecord& record) = 0;
    // The record is finished: the front end's last word on the run.
    virtual void Ended(const RunOutcome& /*outcome*/) {}
    // An exception ended the program (exit status 1); every part of the run
    // is gone already, the run's directory with them.
    virtual void Failed(const std::string& what) = 0;
};

// One run of the flasher `program` ("tollander-flash", or
// "tollander-flash-console"): `args` is the command line as typed, the
// program's name first. Returns the exit status: 0 or 2 from the options,
// kExitNoFirmware, the shell's refusal, 1 after a failure, else Ran::status.
int RunFlasher(FlasherShell& shell, const std::string& program, std::vector<std::string> args);

} // namespace tollander::app
