// The life of a window program's form, the same for every front end with a
// window: the run record between form and view, the form on the real
// devices, the window shown, the loop, and the parts taken down in order.
#pragma once

#include "app/devices.h"
#include "app/main_form.h"
#include "app/run_record.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace tollander::app {

// `View` is the front end's window: a FrontEnd with Attach(MainForm*) and
// Show(); `Loop` its window thread with run(). `self` is the program's own
// file, held open, whose path stands first in `command_line`.
// `report_failure` says once that the run record cannot be written (it
// stops nothing).
template <typename View, typename Loop>
void RunWindowProgram(Loop& window_thread, View& view, const std::string& program,
                      const platform::SelfFile& self, std::vector<std::string> command_line,
                      std::function<void(const std::string&)> report_failure) {
    RunRecord record(RunRecordPath(), program, command_line, self.file.get());
    RunRecordFrontEnd recorded(view, record, std::move(report_failure));
    // Timer1 runs from the form's creation; showing the window resets the
    // scan, so the first tick runs step 0.
    MainForm form(window_thread, recorded, std::move(command_line),
                  MakeSystemDevices(window_thread, self));
    recorded.Attach(&form);
    view.Attach(&form);
    view.Show();
    form.Guarded([&] { form.FormShow(); });
    window_thread.run();
    // The loop has ended and every step has unwound: only now do the
    // window's parts go.
    view.Attach(nullptr);
    recorded.Finish();
}

} // namespace tollander::app
