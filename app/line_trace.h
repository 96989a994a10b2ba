// The line's traffic, for support: every command sent to the modem, every
// answer read back, and an upload as one line per block, each stamped with
// the milliseconds since the run began. The form puts its port behind
// TracingPort; the lines go to the front end (FrontEnd::LineTraced), which
// keeps them in the run record and, when asked, shows them.
#pragma once

#include "app/devices.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace tollander::app {

class LineTrace {
public:
    using Sink = std::function<void(const std::string&)>;
    using Clock = std::function<std::int64_t()>; // milliseconds, monotonic

    explicit LineTrace(Sink sink, Clock clock = {});

    void Sent(const std::string& text);
    // An answer wait: `found` as AwaitAnyText gives it, `read` what came in.
    void Answered(const std::string& alternatives, int found, const std::string& read,
                  std::int32_t ticks);
    // One block of an upload: never its text, only where it stands.
    void Block(int image, std::int64_t block_bytes, std::int64_t sent, std::int64_t total);

private:
    void Emit(const std::string& text);

    Sink sink_;
    Clock clock_;
    std::int64_t start_;
};

// `text` with its control characters made visible (\r, \n, \xNN).
std::string VisibleText(const std::string& text);

// `inner` with every command and answer told to `trace` (kept by the caller
// for the port's life).
std::unique_ptr<ModemPort> MakeTracingPort(std::unique_ptr<ModemPort> inner, LineTrace& trace);

} // namespace tollander::app
