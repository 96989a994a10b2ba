#include "app/line_trace.h"

#include "app/conversation.h"
#include "platform/thread/clock.h"

#include <cstdio>

namespace tollander::app {

namespace {

class TracingPort final : public ModemPort {
public:
    TracingPort(std::unique_ptr<ModemPort> inner, LineTrace& trace)
        : inner_(std::move(inner)), trace_(trace) {
        // The events pass through unchanged.
        inner_->OnTriggerAvail = [this](std::uint16_t n) {
            if (OnTriggerAvail) OnTriggerAvail(n);
        };
        inner_->OnTriggerData = [this](std::uint16_t h) {
            if (OnTriggerData) OnTriggerData(h);
        };
    }
    ~TracingPort() override {
        inner_->OnTriggerAvail = nullptr;
        inner_->OnTriggerData = nullptr;
    }

    void SetComNumber(std::uint16_t n) override { inner_->SetComNumber(n); }
    std::uint16_t ComNumber() const override { return inner_->ComNumber(); }
    void SetBaud(std::int32_t baud) override { inner_->SetBaud(baud); }
    void SetOpen(bool open) override { inner_->SetOpen(open); }
    bool Open() const override { return inner_->Open(); }
    void SendText(const std::string& text) override {
        inner_->SendText(text);
        trace_.Sent("COM" + std::to_string(inner_->ComNumber()) + " " + text);
    }
    int AwaitAnyText(const std::string& alternatives, std::int32_t timeout_ticks, bool yield,
                     bool ignore_case, char separator) override {
        const int found =
            inner_->AwaitAnyText(alternatives, timeout_ticks, yield, ignore_case, separator);
        trace_.Answered(alternatives, found, inner_->LastAnswer(), timeout_ticks);
        return found;
    }
    std::string LastAnswer() const override { return inner_->LastAnswer(); }
    std::uint16_t NewDataTrigger(const std::string& text, bool ignore_case) override {
        return inner_->NewDataTrigger(text, ignore_case);
    }
    void DeleteTrigger(std::uint16_t handle) override { inner_->DeleteTrigger(handle); }
    char ReadChar() override { return inner_->ReadChar(); }
    void ReadChars(std::uint16_t count, std::string& text) override {
        inner_->ReadChars(count, text);
    }
    std::int64_t OutputQueued() const override { return inner_->OutputQueued(); }
    std::string DeviceName(std::uint16_t n) const override { return inner_->DeviceName(n); }
    std::string LastWriteFailure() const override { return inner_->LastWriteFailure(); }
    std::string LineClosure() const override { return inner_->LineClosure(); }

private:
    std::unique_ptr<ModemPort> inner_;
    LineTrace& trace_;
};

} // namespace

std::string VisibleText(const std::string& text) {
    std::string shown;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\r')
            shown += "\\r";
        else if (c == '\n')
            shown += "\\n";
        else if (c == '\\')
            shown += "\\\\";
        else if (u < 0x20 || u == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", u);
            shown += hex;
        } else
            shown += c;
    }
    return shown;
}

LineTrace::LineTrace(Sink sink, Clock clock)
    : sink_(std::move(sink)),
      clock_(clock ? std::move(clock) : Clock([] { return platform::MonotonicMilliseconds(); })),
      start_(clock_()) {}

void LineTrace::Emit(const std::string& text) {
    if (!sink_) return;
    std::string stamp = std::to_string(clock_() - start_);
    if (stamp.size() < 8) stamp.insert(0, 8 - stamp.size(), ' ');
    sink_(stamp + " ms  " + text);
}

void LineTrace::Sent(const std::string& text) {
    Emit("sent     " + VisibleText(text));
}

void LineTrace::Answered(const std::string& alternatives, int found, const std::string& read,
                         std::int32_t ticks) {
    const std::string got = read.empty() ? "nothing" : "\"" + VisibleText(read) + "\"";
    if (found > 0)
        Emit("answered " + got + " (alternative " + std::to_string(found) + " of \"" +
             VisibleText(alternatives) + "\")");
    else
        Emit("answered " + got + " within " + std::to_string(std::int64_t{ticks} * kTickMillis) +
             " ms, none of \"" + VisibleText(alternatives) + "\"");
}

void LineTrace::Block(int image, std::int64_t block_bytes, std::int64_t sent, std::int64_t total) {
    Emit("sent     block of image " + std::to_string(image) + ": " +
         std::to_string(block_bytes) + " bytes of HEX text, " + std::to_string(sent) + " of " +
         std::to_string(total) + " bytes");
}

std::unique_ptr<ModemPort> MakeTracingPort(std::unique_ptr<ModemPort> inner, LineTrace& trace) {
    return std::make_unique<TracingPort>(std::move(inner), trace);
}

} // namespace tollander::app
