// The serial device on Windows: a COM port opened for overlapped I/O with no
// sharing, its line events from WaitCommEvent (a real output-empty event
// among them), queues and line errors from ClearCommError.
#include "platform/serial/serial_device.h"

#include "platform/serial/serial_device_base.h"
#include "platform/serial/serial_device_os.h"
#include "platform/text_win32.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <shared_mutex>
#include <utility>

namespace tollander::platform {

namespace {

// Event bits that name modem lines: a virtual port may refuse a wait that
// asks for them. Line errors are not among them: every port has those.
constexpr std::uint32_t kLineEvents = kEvCts | kEvDsr | kEvCarrier | kEvRing | kEvRingTrailingEdge;
constexpr std::uint8_t kAllLinesPresent = kLineCts | kLineDsr | kLineCarrier;

// A port that ends every wait at once (Wine's pseudo-terminals: no modem
// lines to watch) is asked for its queues this often instead.
constexpr DWORD kPollMs = 10;
// How long ending a pending wait may take before it is cancelled outright,
// and again before it is given up (the handle's close then ends it).
constexpr DWORD kCancelMs = 500;

// A port without modem lines (a virtual one, a pseudo-terminal under Wine)
// answers the line calls with one of these.
bool Unsupported(DWORD error) {
    return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_PARAMETER;
}

DWORD WindowsMask(std::uint32_t mask) {
    DWORD m = 0;
    if (mask & kEvRxChar) m |= EV_RXCHAR;
    if (mask & kEvCts) m |= EV_CTS;
    if (mask & kEvDsr) m |= EV_DSR;
    if (mask & kEvCarrier) m |= EV_RLSD;
    if (mask & kEvBreak) m |= EV_BREAK;
    if (mask & kEvError) m |= EV_ERR;
    if (mask & (kEvRing | kEvRingTrailingEdge)) m |= EV_RING;
    return m;
}

std::uint32_t EventWord(DWORD events) {
    std::uint32_t word = 0;
    if (events & EV_RXCHAR) word |= kEvRxChar;
    if (events & EV_TXEMPTY) word |= kEvTxEmpty;
    if (events & EV_CTS) word |= kEvCts;
    if (events & EV_DSR) word |= kEvDsr;
    if (events & EV_RLSD) word |= kEvCarrier;
    if (events & EV_BREAK) word |= kEvBreak;
    if (events & EV_ERR) word |= kEvError;
    if (events & EV_RING) word |= kEvRing;
    return word;
}

// An overlapped operation's event, made once per device.
class Event {
public:
    Event() : handle_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Event() {
        if (handle_ != nullptr) ::CloseHandle(handle_);
    }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

class Win32Device final : public SerialDeviceBase {
public:
    ~Win32Device() override { close(); }

    int open(const std::string& name) override {
        std::unique_lock lock(mutex_);
        std::string path;
        if (const int rc = open_path(handle_ != INVALID_HANDLE_VALUE, name, path); rc != 0) return rc;
        // No sharing: a port another program holds is refused (access denied).
        const HANDLE h =
            ::CreateFileW(win32::Widen(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (h == INVALID_HANDLE_VALUE) return fail_windows(::GetLastError(), path);
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!::GetCommState(h, &dcb)) {
            ::CloseHandle(h);
            return fail_not_serial(path);
        }
        // Binary, and a line error never stalls reads and writes until it is
        // cleared: the record clears them itself.
        dcb.fBinary = TRUE;
        dcb.fNull = FALSE;
        dcb.fAbortOnError = FALSE;
        dcb.fErrorChar = FALSE;
        COMMTIMEOUTS t = timeouts(write_timeout_ms_);
        if (!::SetCommState(h, &dcb) || !::SetCommTimeouts(h, &t)) {
            const DWORD error = ::GetLastError();
            ::CloseHandle(h);
            return fail_windows(error, path);
        }
        handle_ = h;
        path_ = path;
        lines_supported_ = true;
        hung_up_ = false;
        hang_up_reported_ = false;
        pending_ = false;
        armed_ = false;
        polling_ = false;
        out_queued_ = false;
        polled_errors_ = 0;
        return 0;
    }

    void close() override {
        // The event thread holds the lock shared while its wait is pending:
        // told first, it ends that wait and lets go.
        closing_ = true;
        ::SetEvent(wake_.get());
        std::unique_lock lock(mutex_);
        if (handle_ != INVALID_HANDLE_VALUE) {
            // A timed wait left pending while its thread is elsewhere.
            if (pending_) end_pending();
            ::CloseHandle(handle_);
            handle_ = INVALID_HANDLE_VALUE;
            pending_ = false;
        }
        closing_ = false;
    }

    bool is_open() const override {
        std::shared_lock lock(mutex_);
        return handle_ != INVALID_HANDLE_VALUE;
    }

    int set_queue_sizes(std::uint16_t in_size, std::uint16_t out_size) override {
        std::shared_lock lock(mutex_);
        if (handle_ == INVALID_HANDLE_VALUE) return -kDevNotOpen;
        // Only a recommendation: a driver without queues of its own may not
        // take it; any other refusal fails the open.
        if (!::SetupComm(handle_, in_size, out_size) && !Unsupported(::GetLastError()))
            return fail_windows(::GetLastError(), path_);
        return 0;
    }

    int read_settings(LineSettings& s) override {
        std::shared_lock lock(mutex_);
        if (handle_ == INVALID_HANDLE_VALUE) return -kDevNotOpen;
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!::GetCommState(handle_, &dcb)) return fail_windows(::GetLastError(), path_);
        s.baud = static_cast<std::int32_t>(dcb.BaudRate);
        s.data_bits = dcb.ByteSize;
        s.parity = dcb.Parity;
        s.stop_bits = dcb.StopBits;
        s.dtr_control = static_cast<LineControl>(dcb.fDtrControl);
        s.rts_control = static_cast<LineControl>(dcb.fRtsControl);
        s.out_cts_flow = dcb.fOutxCtsFlow;
        s.out_dsr_flow = dcb.fOutxDsrFlow;
        s.out_x = dcb.fOutX;
        s.in_x = dcb.fInX;
        s.xon_char = dcb.XonChar;
        s.xoff_char = dcb.XoffChar;
        s.xoff_lim = dcb.XoffLim;
        s.xon_lim = dcb.XonLim;
        return 0;
    }

    int write_settings(const LineSettings& s) override {
        std::shared_lock lock(mutex_);
        if (handle_ == INVALID_HANDLE_VALUE) return -kDevNotOpen;
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!::GetCommState(handle_, &dcb)) return fail_windows(::GetLastError(), path_);
        dcb.BaudRate = static_cast<DWORD>(s.baud);
        dcb.ByteSize = s.data_bits;
        dcb.Parity = s.parity;
        dcb.StopBits = s.stop_bits;
        dcb.fParity = s.parity != 0;
        dcb.fDtrControl = static_cast<DWORD>(s.dtr_control) & 3;
        dcb.fRtsControl = static_cast<DWORD>(s.rts_control) & 3;
        dcb.fOutxCtsFlow = s.out_cts_flow;
        dcb.fOutxDsrFlow = s.out_dsr_flow;
        dcb.fOutX = s.out_x;
        dcb.fInX = s.in_x;
        dcb.XonChar = s.xon_char;
        dcb.XoffChar = s.xoff_char;
        dcb.XoffLim = s.xoff_lim;
        dcb.XonLim = s.xon_lim;
        dcb.fBinary = TRUE;
        dcb.fAbortOnError = FALSE;
        if (!::SetCommState(handle_, &dcb)) return fail_windows(::GetLastError(), path_);
        return 0;
    }

    void set_write_timeout(std::uint32_t ms) override {
        write_timeout_ms_ = ms;
        std::shared_lock lock(mutex_);
        if (handle_ == INVALID_HANDLE_VALUE) return;
        COMMTIMEOUTS t = timeouts(ms);
        if (!::SetCommTimeouts(handle_, &t)) fail_windows(::GetLastError(), path_);
    }

    int read(std::uint8_t* buffer, std::size_t n) override {
        std::shared_lock lock(mutex_);
        if (handle_ == INVALID_HANDLE_VALUE) return -kDevNotOpen;
        if (hung_up_ || n == 0) return 0;
        std::lock_guard io(read_mutex_);
        OVERLAPPED ov{};
        ov.hEvent = read_event_.get();
        ::ResetEvent(ov.hEvent);
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(n, 0x7FFFFFFF));
        if (!::ReadFile(handle_, buffer, want, &got, &ov)) {
            DWORD error = ::GetLastError();
            if (error == ERROR_IO_PENDING && ::GetOverlappedResult(handle_, &ov, &got, TRUE))
                return static_cast<int>(got);
            if (error == ERROR_IO_PENDING) error = ::GetLastError();
            // A purge ended the read: the bytes went, the device stays.
            if (error == ERROR_OPERATION_ABORTED) return static_cast<int>(got);
            // The device went away (an adapter pulled, a line hung up).
            fail_windows(error, path_);
            hung_up_ = true;
            return 0;
        }
        return static_cast<int>(got);
    }

    int write(const std::uint8_t* buffer, std::size_t n) override {
        std::shared_lock lock(mutex_);
        if (n == 0) return 0;
        if (handle_ == INVALID_HANDLE_VALUE) {
            fail_closed(path_);
            return 0;
        }
        std::lock_guard io(write_mutex_);
        OVERLAPPED ov{};
        ov.hEvent = write_event_.get();
        ::ResetEvent(ov.hEvent);
        DWORD put = 0;
        // Why the write ended short, in Windows' words: its error, or the
        // write time-out that ended it.
        DWORD error = ERROR_SUCCESS;
        if (!::WriteFile(handle_, buffer, static_cast<DWORD>(n), &put, &ov)) {
            error = ::GetLastError();
            if (error == ERROR_IO_PENDING) {
                error = ERROR_SUCCESS;
                // The driver's write time-out should end the write; a driver
                // that ignores it is cancelled at the same limit.
                bool cancelled = false;
                if (::WaitForSingleObject(ov.hEvent, write_timeout_ms_) != WAIT_OBJECT_0)
                    cancelled = ::CancelIoEx(handle_, &ov);
                if (!::GetOverlappedResult(handle_, &ov, &put, TRUE))
                    error = cancelled ? ERROR_COUNTER_TIMEOUT : ::GetLastError();
            }
        }
        if (put == n) return static_cast<int>(n);
        fail_windows(error == ERROR_SUCCESS ? ERROR_COUNTER_TIMEOUT : error, path_);
        return -static_cast<int>(put);
    }

    int status(DeviceStatus& st) override {
        std::shared_lock lock(mutex_);
        st = {};
        if (handle_ == INVALID_HANDLE_VALUE) return -kDevNotOpen;
        DWORD errors = 0;
        COMSTAT cs{};
        if (!::ClearCommError(handle_, &errors, &cs)) return fail_windows(::GetLastError(), path_);
        // Errors the event thread's poll cleared are this call's as well.
        errors |= polled_errors_.exchange(0);
        if (errors & CE_RXOVER) st.errors |= kErrRxOverrun;
        if (errors & CE_OVERRUN) st.errors |= kErrHwOverrun;
        if (errors & CE_RXPARITY) st.errors |= kErrParity;
        if (errors & CE_FRAME) st.errors |= kErrFraming;
        if (errors & CE_BREAK) st.errors |= kErrBreak;
        st.in_queue = cs.cbInQue;
        st.out_queue = cs.cbOutQue;
        return 0;
    }

    int purge(PurgeQueue which) override {
        std::shared_lock lock(mutex_);
        if (handle_ == INVALID_HANDLE_VALUE) return -kDevNotOpen;
        const DWORD flags = which == PurgeQueue::output ? PURGE_TXCLEAR | PURGE_TXABORT
                                                        : PURGE_RXCLEAR | PURGE_RXABORT;
        if (!::PurgeComm(handle_, flags) && !hung_up_)
            return fail_windows(::GetLastError(), path_);
        return 0;
    }

    int line_function(LineFunction function) override {
        DWORD code = SETXOFF;
        switch (function) {
        case LineFunction::set_xoff:
            code = SETXOFF;
            break;
        case LineFunction::set_xon:
            code = SETXON;
            break;
        case LineFunction::set_rts:
            code = SETRTS;
            break;
        case LineFunction::clear_rts:
            code = CLRRTS;
            break;
        case LineFunction::set_dtr:
            code = SETDTR;
            break;
        case LineFunction::clear_dtr:
            code = CLRDTR;
            break;
        }
        return escape(code);
    }

    int set_break(bool on) override { return escape(on ? SETBREAK : CLRBREAK); }

    int transmit_char(std::uint8_t ch) override {
        std::shared_lock lock(mutex_);
        if (handle_ == INVALID_HANDLE_VALUE) return -kDevNotOpen;
        if (::TransmitCommChar(handle_, static_cast<char>(ch))) return 0;
        lock.unlock();
        return write(&ch, 1) == 1 ? 0 : -kDevFailure;
    }

    int modem_lines(std::uint8_t& states) override {
        std::shared_lock lock(mutex_);
        if (handle_ == INVALID_HANDLE_VALUE) return -kDevNotOpen;
        if (hung_up_) {
            states = 0; // no carrier from a device that went away
            return 0;
        }
        DWORD lines = 0;
        if (!lines_supported_ || !::GetCommModemStatus(handle_, &lines)) {
            if (lines_supported_ && !Unsupported(::GetLastError())) {
                states = 0;
                return 0;
            }
            lines_supported_ = false;
            states = kAllLinesPresent;
            return 0;
        }
        states = 0;
        if (lines & MS_CTS_ON) states |= kLineCts;
        if (lines & MS_DSR_ON) states |= kLineDsr;
        if (lines & MS_RING_ON) states |= kLineRing;
        if (lines & MS_RLSD_ON) states |= kLineCarrier;
        return 0;
    }

    // The event thread sees the new generation, and ends its pending wait
    // itself.
    void end_wait() override { ::SetEvent(wake_.get()); }

    int wait_event(std::uint32_t& word) override { return wait(word, INFINITE); }

    int wait_event_for(std::uint32_t& word, std::uint32_t ms) override {
        return wait(word, std::min<std::uint32_t>(ms, INFINITE - 1));
    }

private:
    // Reads take what is queued and never wait; writes end at `write_ms`.
    static COMMTIMEOUTS timeouts(DWORD write_ms) {
        COMMTIMEOUTS t{};
        t.ReadIntervalTimeout = MAXDWORD;
        t.WriteTotalTimeoutConstant = write_ms;
        return t;
    }

    // One WaitCommEvent at a time, the event thread's, under the lock shared.
    // The mask is set once per change. A wait whose limit passes stays
    // pending for the next call, so a timed wait costs no new request (Wine
    // starts a thread for each). A new mask or the close sets `wake_`; the
    // thread then ends its pending wait itself. A port that ends each wait at
    // once, with nothing, is waited on for characters alone, and if that ends
    // at once too, polled for its queues. `limit` INFINITE for none.
    int wait(std::uint32_t& word, DWORD limit) {
        word = 0;
        const ULONGLONG deadline = ::GetTickCount64() + limit;
        // The time left, or false once the limit passed.
        const auto time_left = [&](DWORD& left) {
            left = INFINITE;
            if (limit == INFINITE) return true;
            const ULONGLONG now = ::GetTickCount64();
            if (now >= deadline) return false;
            left = static_cast<DWORD>(deadline - now);
            return true;
        };
        for (;;) {
            // Cleared before the state is read: a later change sets it again.
            ::ResetEvent(wake_.get());
            std::shared_lock lock(mutex_);
            const bool open = handle_ != INVALID_HANDLE_VALUE && !closing_;
            if (pending_ && (!open || hung_up_)) end_pending();
            const auto generation = generation_.load();
            if (generation != seen_generation_) {
                // A new mask ends this call. The port's wait stays pending
                // unless the mask differs from the one it was armed with.
                seen_generation_ = generation;
                if (armed_ && wanted_mask() != os_mask_) {
                    if (pending_) end_pending();
                    armed_ = false;
                }
                return 0;
            }
            DWORD left = INFINITE;
            if (!time_left(left)) return 0;
            if (!open || hung_up_) {
                const bool report = open && !std::exchange(hang_up_reported_, true);
                lock.unlock();
                // A read found the device gone: say so once, then wait for
                // nothing but a new mask, the close or the limit.
                word = report ? (kEvRxChar | kEvCarrier) & mask_ : 0;
                if (word != 0) return 0;
                ::WaitForSingleObject(wake_.get(), left);
                continue;
            }
            if (polling_) {
                if (poll(word, lock)) return 0;
                lock.unlock();
                ::WaitForSingleObject(wake_.get(), std::min(left, kPollMs));
                continue;
            }
            if (!pending_) {
                if (!armed_) {
                    os_mask_ = wanted_mask();
                    if (!::SetCommMask(handle_, os_mask_)) {
                        if (!retry_without_lines(::GetLastError())) return report_gone(word, lock);
                        continue;
                    }
                    armed_ = true;
                }
                if (os_mask_ == 0) {
                    lock.unlock();
                    ::WaitForSingleObject(wake_.get(), left);
                    continue;
                }
                ov_ = {};
                ov_.hEvent = wait_event_.get();
                ::ResetEvent(ov_.hEvent);
                events_ = 0;
                if (::WaitCommEvent(handle_, &events_, &ov_)) {
                    if (took_events(word)) return 0;
                    continue;
                }
                const DWORD error = ::GetLastError();
                if (error != ERROR_IO_PENDING) {
                    if (!retry_without_lines(error)) return report_gone(word, lock);
                    continue;
                }
                pending_ = true;
            }
            const HANDLE handles[2] = {ov_.hEvent, wake_.get()};
            const DWORD which = ::WaitForMultipleObjects(2, handles, FALSE, left);
            if (which == WAIT_FAILED) return report_gone(word, lock);
            if (which != WAIT_OBJECT_0) continue; // the limit, a new mask or the close
            DWORD ignored = 0;
            const bool done = ::GetOverlappedResult(handle_, &ov_, &ignored, FALSE);
            pending_ = false;
            if (done) {
                if (took_events(word)) return 0;
                continue;
            }
            const DWORD error = ::GetLastError();
            // Nothing of ours ended it: the port ends its waits by itself.
            if (error == ERROR_OPERATION_ABORTED) {
                ended_empty();
                continue;
            }
            if (!retry_without_lines(error)) return report_gone(word, lock);
        }
    }

    // The port's mask for the one asked for. Output empty always: it ends an
    // output trigger's wait at the moment the queue drains.
    DWORD wanted_mask() const {
        const std::uint32_t mask = mask_;
        DWORD m = WindowsMask(lines_supported_ ? mask : mask & ~kLineEvents);
        if (mask != 0) m |= EV_TXEMPTY;
        return m;
    }

    // A wait that ended: the events asked for, or an empty end, which means
    // the port gives up its waits at once.
    bool took_events(std::uint32_t& word) {
        if (events_ == 0) {
            ended_empty();
            return false;
        }
        word = EventWord(events_) & (mask_ | kEvTxEmpty);
        return word != 0;
    }

    void ended_empty() {
        if (lines_supported_ && (os_mask_ & WindowsMask(kLineEvents))) {
            lines_supported_ = false;
            armed_ = false;
        } else {
            polling_ = true;
        }
    }

    // A port without modem lines refuses a wait that names them: from now on
    // it waits for characters and output alone. False for any other error.
    bool retry_without_lines(DWORD error) {
        if (!Unsupported(error) || !lines_supported_ || !(os_mask_ & WindowsMask(kLineEvents)))
            return false;
        lines_supported_ = false;
        armed_ = false;
        return true;
    }

    // The polled port: characters queued, a line error, the output queue run
    // empty. Errors are kept for the next status(). True with events.
    bool poll(std::uint32_t& word, std::shared_lock<std::shared_mutex>& lock) {
        DWORD errors = 0;
        COMSTAT cs{};
        if (!::ClearCommError(handle_, &errors, &cs)) {
            report_gone(word, lock);
            return true;
        }
        if (errors != 0) polled_errors_ |= errors;
        if (cs.cbInQue != 0) word |= kEvRxChar;
        if (errors & CE_BREAK) word |= kEvBreak;
        if (errors & ~CE_BREAK) word |= kEvError;
        if (std::exchange(out_queued_, cs.cbOutQue != 0) && cs.cbOutQue == 0) word |= kEvTxEmpty;
        word &= mask_ | kEvTxEmpty;
        return word != 0;
    }

    // Ends the pending WaitCommEvent (under the lock): a new mask ends it on
    // every port, the cancel on a driver that ignores the new mask.
    void end_pending() {
        ::SetCommMask(handle_, 0);
        armed_ = false;
        if (::WaitForSingleObject(ov_.hEvent, kCancelMs) != WAIT_OBJECT_0) {
            ::CancelIoEx(handle_, &ov_);
            ::WaitForSingleObject(ov_.hEvent, kCancelMs);
        }
        pending_ = false;
    }

    // The wait failed for a reason other than a missing feature: the device
    // went away. Reported once as received characters and a carrier change.
    int report_gone(std::uint32_t& word, std::shared_lock<std::shared_mutex>& lock) {
        fail_windows(::GetLastError(), path_);
        lock.unlock();
        hung_up_ = true;
        hang_up_reported_ = true;
        word = (kEvRxChar | kEvCarrier) & mask_;
        return 0;
    }

    int escape(DWORD code) {
        std::shared_lock lock(mutex_);
        if (handle_ == INVALID_HANDLE_VALUE) return -kDevNotOpen;
        if (::EscapeCommFunction(handle_, code)) return 0;
        const DWORD error = ::GetLastError();
        if (Unsupported(error)) return 0; // a port without that line
        if (hung_up_) return -kDevFailure;
        return fail_windows(error, path_);
    }

    int fail_windows(DWORD error, const std::string& path) {
        int code = kDevFailure;
        DeviceFault fault = DeviceFault::Other;
        switch (error) {
        case ERROR_FILE_NOT_FOUND:
            code = kDevNoSuchDevice;
            fault = DeviceFault::Missing;
            break;
        case ERROR_PATH_NOT_FOUND:
            code = kDevPathNotFound;
            fault = DeviceFault::Missing;
            break;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            // What Windows says about a port another program holds.
            code = kDevAccessDenied;
            fault = DeviceFault::Busy;
            break;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            code = kDevOutOfMemory;
            break;
        default:
            break;
        }
        return fail(code, fault, path + ": " + win32::SystemMessage(error));
    }

    mutable std::shared_mutex mutex_; // the handle: exclusive to open and close it
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    std::atomic<bool> closing_{false};
    std::string path_;
    Event read_event_, write_event_, wait_event_, wake_;
    std::mutex read_mutex_, write_mutex_;
    std::atomic<bool> lines_supported_{true};
    std::atomic<bool> hung_up_{false};
    bool hang_up_reported_ = false; // the event thread's (and open's)
    // The event thread's WaitCommEvent, kept across timed waits, and its
    // mask as set on the port (armed_).
    bool pending_ = false;
    OVERLAPPED ov_{};
    DWORD events_ = 0;
    DWORD os_mask_ = 0;
    bool armed_ = false;
    // The port ends every wait at once: its queues are polled instead.
    bool polling_ = false;
    bool out_queued_ = false;
    std::atomic<DWORD> polled_errors_{0};
};

} // namespace

std::unique_ptr<SerialDevice> serial_device_os::MakeLineDevice() {
    return std::make_unique<Win32Device>();
}

} // namespace tollander::platform
