// Transcript of a session as JSON lines, one object per event, each line
// written with a single write so that a reader never sees half of it. Every
// line starts with "time" (seconds since the modem started) and "ms" (the
// system's monotonic clock in milliseconds, which other processes on the
// machine read too, so that their moments and the modem's compare).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace tollander::vmodem {

using Clock = std::chrono::steady_clock;
using Time = Clock::time_point;

std::string json_quote(const std::string& text);

class EventLog {
public:
    // fd < 0: events are dropped.
    EventLog(int fd, Time origin) : fd_(fd), origin_(origin) {}

    class Line {
    public:
        Line& text(const char* key, const std::string& value);
        Line& number(const char* key, long long value);
        Line& seconds(const char* key, Time at);
        Line& monotonic_ms(const char* key, Time at);
        Line& flag(const char* key, bool value);
        Line(const Line&) = delete;
        Line& operator=(const Line&) = delete;
        ~Line();

    private:
        friend class EventLog;
        Line(EventLog& log, const char* event, Time at);
        EventLog& log_;
        std::string buffer_;
    };

    Line event(const char* name, Time at) { return Line(*this, name, at); }
    double since_origin(Time at) const;

private:
    int fd_;
    Time origin_;
};

} // namespace tollander::vmodem
