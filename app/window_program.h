// What every front end with a window does alike around RunFlasher: its loop
// and window made once the run may begin, the window shown, the loop run,
// and the window's parts taken down once the loop has ended.
#pragma once

#include "app/flasher_main.h"
#include "app/main_form.h"

#include <cstdio>
#include <optional>
#include <string>

namespace tollander::app {

// `Loop` is the front end's window thread, with run(); `View` its window: a
// FrontEnd made on the loop, with Attach(MainForm*) and Show(). A front end
// adds what only it does at the program's other endings.
template <typename Loop, typename View> class WindowShell : public FlasherShell {
public:
    void Say(const std::string& line) override { std::fprintf(stderr, "%s\n", line.c_str()); }

    Parts Open() override {
        view_.emplace(Thread());
        return {*loop_, *view_};
    }

    Ran Run(MainForm& form, RunRecord& /*record*/) override {
        view_->Attach(&form);
        view_->Show();
        form.Guarded([&] { form.FormShow(); });
        loop_->run();
        // The loop has ended and every step has unwound: only now do the
        // window's parts go.
        view_->Attach(nullptr);
        return {};
    }

protected:
    // The loop, made the first time it is needed (a message box before the
    // run also needs one).
    Loop& Thread() {
        if (!loop_) loop_.emplace();
        return *loop_;
    }

private:
    std::optional<Loop> loop_;
    std::optional<View> view_; // goes before the loop it was made on
};

} // namespace tollander::app
