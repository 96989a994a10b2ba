#include "serial/com_port.h"

#include "serial/tick_timer.h"

#include <algorithm>
#include <vector>

namespace tollander::serial {

namespace {

char UpAscii(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
}

// Restores the notice state of a record when a wait ends, however it ends.
class NoticeSuspension {
public:
    NoticeSuspension(TCustomComPort& port, std::uint16_t index) : port_(port), index_(index) {
        SuspendNotices(index_, true, previous_);
    }
    ~NoticeSuspension() {
        // The port may have been closed or reopened inside the wait.
        if (!previous_ && port_.ReallyOpen() && port_.PortIndex() == index_) {
            bool ignored;
            SuspendNotices(index_, false, ignored);
        }
    }

private:
    TCustomComPort& port_;
    std::uint16_t index_;
    bool previous_ = false;
};

} // namespace

TCustomComPort::TCustomComPort(platform::WindowThread& window)
    : DeviceLayerHook(PlatformDeviceLayer()), window_(window) {}

TCustomComPort::~TCustomComPort() {
    try {
        if (really_open_) PortClose();
    } catch (...) {
        // Destruction must not throw; the record is gone either way.
    }
}

void TCustomComPort::BeginLoading() {
    loading_ = true;
}

void TCustomComPort::EndLoading() {
    loading_ = false;
    if (open_after_load_) {
        open_after_load_ = false;
        open_ = false;
        SetOpen(true);
    }
}

int TCustomComPort::RaiseOnError(int code) {
    if (code >= 0 || loading_) return code;
    RaiseCommError(code, last_os_reason_, last_os_fault_);
}

std::uint16_t TCustomComPort::ActivePort() {
    if (!loading_ && !really_open_ && auto_open_) SetOpen(true);
    return index_;
}

// ---- Open and close --------------------------------------------------------

void TCustomComPort::SetOpen(bool v) {
    if (loading_) {
        open_ = v;
        open_after_load_ = v;
        return;
    }
    if (v) {
        if (!really_open_) PortOpen();
    } else {
        PortClose();
    }
}

void TCustomComPort::PortOpen() {
    serial::DeviceLayer layer;
    switch (device_layer_) {
    case dlWin32:
        layer = PlatformDeviceLayer();
        break;
    case dlOther:
        layer = DeviceLayerHook ? DeviceLayerHook : PlatformDeviceLayer();
        break;
    default:
        RaiseOnError(ecNullApi);
        return;
    }
    const std::string name = "\\\\.\\COM" + std::to_string(com_number_);
    std::string reason;
    platform::DeviceFault fault = platform::DeviceFault::None;
    PortSettings settings;
    settings.dispatcher_mode = static_cast<std::uint8_t>(dispatcher_mode_);
    settings.out_size = out_size_;
    settings.in_size = in_size_;
    settings.line = {baud_, static_cast<std::uint8_t>(parity_), data_bits_, stop_bits_};
    int r = OpenPortRecord(name, settings, layer, &reason, &fault);
    if (r == ecAccessDenied) r = ecAlreadyOpen;
    if (r == ecFileNotFound || r == ecPathNotFound) r = ecBadId;
    if (r <= 0 || r > 100) {
        last_os_reason_ = reason;
        last_os_fault_ = fault;
        open_ = false;
        RaiseOnError(r == 0 ? ecBadHandle : r);
        return;
    }
    last_os_reason_.clear();
    last_os_fault_ = platform::DeviceFault::None;
    index_ = static_cast<std::uint16_t>(r);
    really_open_ = true;
    force_apply_ = true;
    try {
        SetTracing(tracing_);
        SetLogging(logging_);
        SetHWFlowOptions(hw_flow_);
        SetSWFlowOptions(sw_flow_);
        SetXOnChar(xon_char_);
        SetXOffChar(xoff_char_);
        SetTriggerLength(trigger_length_);
        if (device_layer_ != dlFossil) {
            SetDTR(dtr_);
            SetRTS(rts_);
        }
        // Reads inside notices peek unless the peek option says otherwise.
        RaiseOnError(SetRecordOption(index_, kOptionNoPeek, peek_option_));
    } catch (...) {
        // A port whose settings could not be applied is not left half open.
        force_apply_ = false;
        ClosePortRecord(index_);
        index_ = 0;
        really_open_ = false;
        open_ = false;
        throw;
    }
    force_apply_ = false;
    open_ = true;

    // The window is this open port's own: it is closed before the record is,
    // and a notice still queued for it then is dropped unhandled, so the
    // handler never meets a closed, reopened or destroyed port.
    notice_window_ = std::make_unique<NoticeWindow>(
        window_, kComNoticeWindowClass,
        [this](std::uint16_t msg, std::uint32_t wparam, std::uint32_t lparam) {
            HandleNotice(msg, wparam, lparam);
        });
    AddListener(index_, notice_window_.get(), nullptr, 0);
    SetWakeTarget(index_, &window_);
    if (saved_triggers_valid_) {
        RestoreTriggers(index_, saved_triggers_);
        saved_triggers_valid_ = false;
    }
}

void TCustomComPort::PortClose() {
    if (really_open_) {
        const std::uint16_t index = index_;
        SaveTriggers(index, saved_triggers_);
        saved_triggers_valid_ = true;
        RemoveListener(index, notice_window_.get(), nullptr);
        SetWakeTarget(index, nullptr);
        notice_window_.reset();
        ClosePortRecord(index);
        really_open_ = false;
        index_ = 0;
    }
    open_ = false;
}

// ---- Notices ---------------------------------------------------------------

void TCustomComPort::HandleNotice(std::uint16_t msg, std::uint32_t wparam, std::uint32_t lparam) {
    if (holding_notices_) return;
    const std::uint16_t index = lparam >> 16;
    const auto handle = static_cast<std::uint16_t>(wparam);
    struct Depth {
        int& depth;
        explicit Depth(int& d) : depth(d) { ++depth; }
        ~Depth() { --depth; }
    } depth(notice_depth_);
    try {
        DoTrigger(msg, handle, static_cast<std::uint16_t>(lparam & 0xFFFF));
        switch (msg) {
        case kNoticeAvail:
            DoTriggerAvail(handle);
            break;
        case kNoticeData:
            DoTriggerData(handle);
            break;
        case kNoticeTimer:
            DoTriggerTimer(handle);
            break;
        case kNoticeStatus: {
            const std::uint16_t kind = StatusTriggerKind(index, handle);
            DoTriggerStatus(handle);
            switch (kind) {
            case kStatusModem:
                DoTriggerModemStatus();
                break;
            case kStatusLineError: {
                const std::uint16_t errors = GetLineErrors(index);
                const bool line_break = errors & platform::kErrBreak;
                std::uint16_t code = 0;
                if (errors & platform::kErrRxOverrun)
                    code = 1;
                else if (errors & platform::kErrHwOverrun)
                    code = 2;
                else if (errors & platform::kErrParity)
                    code = 3;
                else if (errors & platform::kErrFraming)
                    code = 4;
                ClearLineErrors(index, platform::kErrBreak | platform::kErrRxOverrun |
                                           platform::kErrHwOverrun | platform::kErrParity |
                                           platform::kErrFraming);
                DoTriggerLineError(code, line_break);
                break;
            }
            case kStatusOutRoom:
                DoTriggerOutbuffFree();
                break;
            case kStatusOutCount:
                DoTriggerOutbuffUsed();
                break;
            case kStatusOutSent:
                DoTriggerOutSent();
                break;
            default:
                break;
            }
            break;
        }
        default:
            break;
        }
    } catch (...) {
        // An event handler's exception ends here; the dispatcher goes on.
    }
}

void TCustomComPort::DoTrigger(std::uint16_t Msg, std::uint16_t TriggerHandle, std::uint16_t Data) {
    if (OnTrigger) OnTrigger(*this, Msg, TriggerHandle, Data);
}
void TCustomComPort::DoTriggerAvail(std::uint16_t Count) {
    if (OnTriggerAvail) OnTriggerAvail(*this, Count);
}
void TCustomComPort::DoTriggerData(std::uint16_t TriggerHandle) {
    if (OnTriggerData) OnTriggerData(*this, TriggerHandle);
}
void TCustomComPort::DoTriggerStatus(std::uint16_t TriggerHandle) {
    if (OnTriggerStatus) OnTriggerStatus(*this, TriggerHandle);
}
void TCustomComPort::DoTriggerTimer(std::uint16_t TriggerHandle) {
    if (OnTriggerTimer) OnTriggerTimer(*this, TriggerHandle);
}
void TCustomComPort::DoTriggerLineError(std::uint16_t Error, bool LineBreak) {
    if (OnTriggerLineError) OnTriggerLineError(*this, Error, LineBreak);
}
void TCustomComPort::DoTriggerModemStatus() {
    if (OnTriggerModemStatus) OnTriggerModemStatus(*this);
}
void TCustomComPort::DoTriggerOutbuffFree() {
    if (OnTriggerOutbuffFree) OnTriggerOutbuffFree(*this);
}
void TCustomComPort::DoTriggerOutbuffUsed() {
    if (OnTriggerOutbuffUsed) OnTriggerOutbuffUsed(*this);
}
void TCustomComPort::DoTriggerOutSent() {
    if (OnTriggerOutSent) OnTriggerOutSent(*this);
}
void TCustomComPort::DoWaitChar(char C) {
    if (OnWaitChar) OnWaitChar(*this, C);
}
void TCustomComPort::Poll() {
    ActivePort();
}

// ---- Property setters --------------------------------------------------------

void TCustomComPort::SetDeviceLayer(TDeviceLayer v) {
    if (!really_open_ || loading_) device_layer_ = v;
}

void TCustomComPort::SetDispatcherMode(TDispatcherMode v) {
    if (!really_open_ || loading_) dispatcher_mode_ = v;
}

void TCustomComPort::SetComNumber(std::uint16_t v) {
    if (!Applying()) {
        com_number_ = v;
        return;
    }
    if (v == com_number_ && !force_apply_) return;
    // Renumbering an open port keeps its triggers.
    TriggerImage image{};
    SaveTriggers(index_, image);
    const TTraceLogState tracing = tracing_;
    const TTraceLogState logging = logging_;
    PortClose();
    com_number_ = v;
    SetTracing(tracing);
    SetLogging(logging);
    SetOpen(true);
    RestoreTriggers(index_, image);
}

void TCustomComPort::SetBaud(std::int32_t v) {
    const bool changed = v != baud_;
    baud_ = v;
    if (Applying() && (changed || force_apply_)) RaiseOnError(SetLineParams(index_, {.baud = v}));
}

void TCustomComPort::SetParity(TParity v) {
    const bool changed = v != parity_;
    parity_ = v;
    if (Applying() && (changed || force_apply_))
        RaiseOnError(SetLineParams(index_, {.parity = static_cast<std::uint8_t>(v)}));
}

void TCustomComPort::SetDataBits(std::uint16_t v) {
    const bool changed = v != data_bits_;
    data_bits_ = v;
    if (Applying() && (changed || force_apply_))
        RaiseOnError(SetLineParams(index_, {.data_bits = v}));
}

void TCustomComPort::SetStopBits(std::uint16_t v) {
    const bool changed = v != stop_bits_;
    stop_bits_ = v;
    if (Applying() && (changed || force_apply_))
        RaiseOnError(SetLineParams(index_, {.stop_bits = v}));
}

void TCustomComPort::SetInSize(std::uint16_t v) {
    const bool changed = v != in_size_;
    in_size_ = v;
    if (Applying() && (changed || force_apply_))
        RaiseOnError(SetQueueSizes(index_, in_size_, out_size_));
}

void TCustomComPort::SetOutSize(std::uint16_t v) {
    const bool changed = v != out_size_;
    out_size_ = v;
    if (Applying() && (changed || force_apply_))
        RaiseOnError(SetQueueSizes(index_, in_size_, out_size_));
}

void TCustomComPort::SetDTR(bool v) {
    const bool changed = v != dtr_;
    dtr_ = v;
    if (Applying() && (changed || force_apply_)) RaiseOnError(SetDtrLine(index_, v));
}

void TCustomComPort::SetRTS(bool v) {
    const bool changed = v != rts_;
    rts_ = v;
    if (Applying() && (changed || force_apply_)) RaiseOnError(SetRtsLine(index_, v));
}

void TCustomComPort::ApplyHWFlow() {
    const std::uint16_t word = hw_flow_.Word();
    if (word != 0)
        RaiseOnError(SetHardwareFlow(index_, buffer_full_, buffer_resume_, word));
    else
        RaiseOnError(ClearHardwareFlow(index_));
}

void TCustomComPort::ApplySWFlow() {
    std::uint16_t word = 0;
    switch (sw_flow_) {
    case swfNone:
        word = 0;
        break;
    case swfReceive:
        word = kSwReceive;
        break;
    case swfTransmit:
        word = kSwTransmit;
        break;
    case swfBoth:
        word = kSwReceive | kSwTransmit;
        break;
    }
    if (word != 0)
        RaiseOnError(SetSoftwareFlow(index_, buffer_full_, buffer_resume_, word));
    else
        RaiseOnError(ClearSoftwareFlow(index_));
}

void TCustomComPort::SetHWFlowOptions(THWFlowOptionSet v) {
    const bool changed = !(v == hw_flow_);
    hw_flow_ = v;
    if (v.Word() != 0) {
        if (buffer_full_ == 0 || buffer_full_ > in_size_)
            buffer_full_ = static_cast<std::uint16_t>(in_size_ * 9 / 10);
        if (buffer_resume_ == 0 || buffer_resume_ > buffer_full_)
            buffer_resume_ = static_cast<std::uint16_t>(in_size_ / 10);
    }
    if (Applying() && (changed || force_apply_)) ApplyHWFlow();
}

void TCustomComPort::SetSWFlowOptions(TSWFlowOptions v) {
    const bool changed = v != sw_flow_;
    sw_flow_ = v;
    if (v != swfNone) {
        if (buffer_full_ == 0 || buffer_full_ > in_size_)
            buffer_full_ = static_cast<std::uint16_t>(in_size_ * 3 / 4);
        if (buffer_resume_ == 0 || buffer_resume_ > buffer_full_)
            buffer_resume_ = static_cast<std::uint16_t>(in_size_ / 4);
    }
    if (Applying() && (changed || force_apply_)) ApplySWFlow();
}

void TCustomComPort::SetBufferFull(std::uint16_t v) {
    if (v > in_size_) v = static_cast<std::uint16_t>(v * 9 / 10);
    buffer_full_ = v;
    const bool saved = force_apply_;
    force_apply_ = true;
    SetHWFlowOptions(hw_flow_);
    SetSWFlowOptions(sw_flow_);
    force_apply_ = saved;
}

void TCustomComPort::SetBufferResume(std::uint16_t v) {
    if (v > buffer_full_) v = static_cast<std::uint16_t>(buffer_full_ / 10);
    buffer_resume_ = v;
    const bool saved = force_apply_;
    force_apply_ = true;
    SetHWFlowOptions(hw_flow_);
    SetSWFlowOptions(sw_flow_);
    force_apply_ = saved;
}

void TCustomComPort::SetXOnChar(char v) {
    const bool changed = v != xon_char_;
    xon_char_ = v;
    if (Applying() && (changed || force_apply_))
        RaiseOnError(SetFlowChars(index_, xon_char_, xoff_char_));
}

void TCustomComPort::SetXOffChar(char v) {
    const bool changed = v != xoff_char_;
    xoff_char_ = v;
    if (Applying() && (changed || force_apply_))
        RaiseOnError(SetFlowChars(index_, xon_char_, xoff_char_));
}

void TCustomComPort::SetTriggerLength(std::uint16_t v) {
    const bool changed = v != trigger_length_;
    trigger_length_ = v;
    if (Applying() && (changed || force_apply_)) RaiseOnError(SetAvailLevel(index_, v));
}

// Tracing and logging are not available here: a closed port remembers a
// request to switch them on, an open one refuses it.
void TCustomComPort::ApplyTraceLog(TTraceLogState v, bool tracing) {
    TTraceLogState& state = tracing ? tracing_ : logging_;
    if (!Applying()) {
        state = v == tlOn ? tlOn : tlOff;
        return;
    }
    if (v == tlOn) RaiseOnError(tracing ? ecTracingNotEnabled : ecLoggingNotEnabled);
}

void TCustomComPort::SetTracing(TTraceLogState v) {
    ApplyTraceLog(v, true);
}

void TCustomComPort::SetLogging(TTraceLogState v) {
    ApplyTraceLog(v, false);
}

void TCustomComPort::SetTraceSize(std::uint16_t v) {
    trace_size_ = std::min<std::uint16_t>(v, 32760);
}

void TCustomComPort::SetLogSize(std::uint16_t v) {
    log_size_ = std::min<std::uint16_t>(v, 65520);
}

void TCustomComPort::SetTraceName(const std::string& v) {
    trace_name_ = v.substr(0, 255);
}

void TCustomComPort::SetLogName(const std::string& v) {
    log_name_ = v.substr(0, 255);
}

// ---- Operations --------------------------------------------------------------

void TCustomComPort::SendText(const std::string& S) {
    const std::uint16_t index = ActivePort();
    if (S.empty()) return;
    if (S.size() > 0xFFFF) RaiseOnError(ecOutputBufferTooSmall);
    const int r = WriteBlock(index, reinterpret_cast<const std::uint8_t*>(S.data()),
                             static_cast<std::uint16_t>(S.size()));
    // The write's own words, not those of the open: whatever the system
    // calls it, a port that was open is no busy or missing one.
    if (r == ecPutBlockFail && !loading_)
        RaiseCommError(r, serial::WriteFailure(index), platform::DeviceFault::Other);
    RaiseOnError(r);
}

std::string TCustomComPort::LastWriteFailure() const {
    return really_open_ ? serial::WriteFailure(index_) : std::string();
}

std::string TCustomComPort::LineClosure() const {
    return really_open_ ? serial::LineClosure(index_) : std::string();
}

int TCustomComPort::AwaitAnyText(const std::string& S, std::int32_t Timeout, bool Yield,
                                 bool IgnoreCase, char SepChar) {
    if (S.empty()) return 0;
    const std::uint16_t index = ActivePort();
    NoticeSuspension suspension(*this, index);
    struct Hold {
        bool& flag;
        bool previous;
        Hold(bool& f, bool on) : flag(f), previous(f) { flag = flag || on; }
        ~Hold() { flag = previous; }
    } hold(holding_notices_, notice_depth_ == 0);

    // Positions are 8-bit: at most 255 characters and 127 alternatives.
    const std::string text = S.substr(0, 255);
    const int length = static_cast<int>(text.size());
    struct Alternative {
        int first, last, pos;
        char first_char;
    };
    std::vector<Alternative> alts;
    for (int start = 0;;) {
        int end = length;
        if (alts.size() + 1 < 127) {
            const auto sep = text.find(SepChar, static_cast<std::size_t>(start));
            if (sep != std::string::npos) end = static_cast<int>(sep);
        }
        const char first = start < end ? text[start] : '\0';
        alts.push_back({start, end - 1, start, IgnoreCase ? UpAscii(first) : first});
        if (end >= length - 1) break; // the end of S, or a separator at its very end
        start = end + 1;
    }

    TickTimer timer;
    timer.Start(Timeout);
    for (;;) {
        // A notice already on its way when the wait began ends first, held
        // back (its handlers do not run, so it reads nothing of the answer).
        // No other notice of this port begins while the wait runs, and the
        // end of this one wakes us. (A wait made inside one of our own
        // notices reads as that notice does: reads there only peek, and the
        // notice drops what it read when it ends.)
        while (notice_depth_ == 0 && really_open_ && index_ == index &&
               !serial::WaitNoticeDelivered(index, platform::Millis(0))) {
            if (timer.RunOut() || window_.terminating()) return 0;
            const platform::Millis left(std::max<std::int64_t>(1, timer.MillisLeft()));
            if (Yield)
                window_.wait(left); // the notice may be ours to run
            else
                serial::WaitNoticeDelivered(index, left);
        }
        if (really_open_ && index_ == index && serial::InputWaiting(index)) {
            char c = 0;
            if (serial::ReadChar(index, c) == 0) {
                DoWaitChar(c);
                const char u = IgnoreCase ? UpAscii(c) : c;
                for (std::size_t k = 0; k < alts.size(); ++k) {
                    auto& a = alts[k];
                    if (a.first > a.last) continue; // an empty alternative never matches
                    const char expected = IgnoreCase ? UpAscii(text[a.pos]) : text[a.pos];
                    if (u == expected) {
                        if (a.pos == a.last) return static_cast<int>(k) + 1;
                        ++a.pos;
                    } else {
                        a.pos = u == a.first_char ? a.first + 1 : a.first;
                    }
                }
            }
        }
        const bool run_out = timer.RunOut();
        const bool waiting = really_open_ && index_ == index && serial::InputWaiting(index);
        // No pass spins: with nothing to read, block until input arrives (the
        // dispatcher wakes us), a message comes or the time is up.
        const platform::Millis left(std::max<std::int64_t>(1, timer.MillisLeft()));
        if (Yield) {
            if (run_out || waiting)
                window_.process_pending();
            else
                window_.wait(left);
        } else if (!run_out && !waiting) {
            WaitForInput(index, left);
        }
        if (run_out || window_.terminating()) return 0;
    }
}

std::uint16_t TCustomComPort::NewDataTrigger(const std::string& Text, bool IgnoreCase) {
    const std::uint16_t index = ActivePort();
    const std::string text = Text.substr(0, 255);
    const int r = serial::NewDataTrigger(index, text.data(), IgnoreCase,
                                         static_cast<std::uint16_t>(text.size()));
    return static_cast<std::uint16_t>(RaiseOnError(r));
}

void TCustomComPort::DeleteTrigger(std::uint16_t Handle) {
    if (!really_open_) return;
    RaiseOnError(serial::DeleteTrigger(index_, Handle));
}

void TCustomComPort::ReadChars(std::uint16_t Count, std::string& Text) {
    RaiseOnError(serial::ReadChars(ActivePort(), Count, Text));
}

char TCustomComPort::ReadChar() {
    const std::uint16_t index = ActivePort();
    char c = 0;
    RaiseOnError(serial::ReadChar(index, c));
    return c;
}

bool TCustomComPort::InputWaiting() {
    return serial::InputWaiting(ActivePort());
}

} // namespace tollander::serial
