// Requests from outside to stop a console program: SIGINT (Ctrl+C), SIGTERM
// and SIGHUP; on Windows the console's Ctrl+C and Ctrl+Break. While a StopSignals lives they no longer end the process at
// once: a thread of its own receives each and hands it to the handler, which
// decides. A closed pipe no longer ends the process either: a write to it
// fails (EPIPE) and the writer says so.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace tollander::platform {

class StopSignals {
public:
    // `signal`: its number; `name`: "SIGINT", "SIGTERM" or "SIGHUP". Runs on
    // the receiving thread: hand the request on, do not work there.
    using Handler = std::function<void(int signal, const std::string& name)>;

    // Before any other thread starts: the threads started afterwards hold
    // the signals back too, so that no wait of theirs is cut short by one.
    StopSignals();
    // Lets the signals act as they would again; one that came meanwhile
    // ends the process now.
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // No handler (the default): a request ends the process as the signal
    // would. Once this returns, the previous handler is not running and is
    // never called again.
    void SetHandler(Handler handler);

    // The requests this system's watch receives, in words ("SIGINT, SIGTERM
    // or SIGHUP"; on Windows "Ctrl+C or Ctrl+Break").
    static const char* Names();

    // Ends the process as `signal` ends it (a shell sees 128 + signal).
    [[noreturn]] static void EndBy(int signal);

private:
    struct Watch;
    std::unique_ptr<Watch> watch_;
};

#ifdef _WIN32
// The console control routine a StopSignals installs, by the console event
// (CTRL_C_EVENT ...): true when it took the event, false when the system's
// own handling follows. For tests of the events no test can raise.
bool HandleConsoleControl(unsigned long event);
#endif

} // namespace tollander::platform
