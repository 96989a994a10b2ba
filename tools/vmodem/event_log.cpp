#include "tools/vmodem/event_log.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace tollander::vmodem {

std::string json_quote(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c >= 0x7f) {
            // Bytes off the line are not UTF-8; keep each one as a code point.
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

double EventLog::since_origin(Time at) const {
    return std::chrono::duration<double>(at - origin_).count();
}

EventLog::Line::Line(EventLog& log, const char* event, Time at) : log_(log) {
    if (log_.fd_ < 0) return;
    seconds("time", at);
    monotonic_ms("ms", at);
    text("event", event);
}

EventLog::Line& EventLog::Line::text(const char* key, const std::string& value) {
    if (log_.fd_ < 0) return *this;
    buffer_ += buffer_.empty() ? "{" : ",";
    buffer_ += json_quote(key) + ":" + json_quote(value);
    return *this;
}

EventLog::Line& EventLog::Line::number(const char* key, long long value) {
    if (log_.fd_ < 0) return *this;
    buffer_ += buffer_.empty() ? "{" : ",";
    buffer_ += json_quote(key) + ":" + std::to_string(value);
    return *this;
}

EventLog::Line& EventLog::Line::seconds(const char* key, Time at) {
    if (log_.fd_ < 0) return *this;
    char value[32];
    std::snprintf(value, sizeof value, "%.6f", log_.since_origin(at));
    buffer_ += buffer_.empty() ? "{" : ",";
    buffer_ += json_quote(key) + ":" + value;
    return *this;
}

EventLog::Line& EventLog::Line::monotonic_ms(const char* key, Time at) {
    if (log_.fd_ < 0) return *this;
    char value[32];
    std::snprintf(value, sizeof value, "%.3f",
                  std::chrono::duration<double, std::milli>(at.time_since_epoch()).count());
    buffer_ += buffer_.empty() ? "{" : ",";
    buffer_ += json_quote(key) + ":" + value;
    return *this;
}

EventLog::Line& EventLog::Line::flag(const char* key, bool value) {
    if (log_.fd_ < 0) return *this;
    buffer_ += buffer_.empty() ? "{" : ",";
    buffer_ += json_quote(key) + ":" + (value ? "true" : "false");
    return *this;
}

EventLog::Line::~Line() {
    if (log_.fd_ < 0) return;
    buffer_ += "}\n";
    const char* p = buffer_.data();
    std::size_t left = buffer_.size();
    while (left > 0) {
        const ssize_t n = ::write(log_.fd_, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return; // a full disk must not stop the modem
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

} // namespace tollander::vmodem
