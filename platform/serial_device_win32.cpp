// The serial device on Windows: a COM port opened for overlapped I/O with no
// sharing, its line events from WaitCommEvent (a real output-empty event
// among them), queues and line errors from ClearCommError.
#include "platform/serial_device.h"

#include "platform/serial_device_base.h"
#include "platform/text_win32.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <shared_mutex>
#include <utility>

namespace tollander::platform {

namespace {

// Event bits that name modem lines or line errors: a virtual port may refuse
// a wait that asks for them.
constexpr std::uint32_t kLineEvents =
    kEvCts | kEvDsr | kEvCarrier | kEvRing | kEvRingTrailingEdge | kEvError;
constexpr std::uint8_t kAllLinesPresent = kLineCts | kLineDsr | kLineCarrier;

// A port without modem lines (a virtual one, a pseudo-terminal under Wine)
// answers the line calls with one of these.
bool unsupported(DWORD error) {
    return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_PARAMETER;
}

DWORD windows_mask(std::uint32_t mask) {
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

std::uint32_t event_word(DWORD events) {
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
        ::SetCommState(h, &dcb);
        // Reads take what is queued and never wait.
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = MAXDWORD;
        timeouts.WriteTotalTimeoutConstant = write_timeout_ms_;
        ::SetCommTimeouts(h, &timeouts);
        handle_ = h;
        path_ = path;
        lines_supported_ = true;
        hung_up_ = false;
        hang_up_reported_ = false;
        pending_ = false;
        return 0;
    }

    void close() override {
        {
            std::unique_lock lock(mutex_);
            if (handle_ == INVALID_HANDLE_VALUE) return;
            // Ends a pending WaitCommEvent; the wait sees the handle gone.
            ::SetCommMask(handle_, 0);
            closing_ = true;
        }
        ::SetEvent(wake_.get());
        std::unique_lock lock(mutex_);
        ::CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
        closing_ = false;
    }

    bool is_open() const override {
        std::shared_lock lock(mutex_);
        return handle_ != INVALID_HANDLE_VALUE;
    }

    int set_queue_sizes(std::uint16_t in_size, std::uint16_t out_size) override {
        std::shared_lock lock(mutex_);
        if (handle_ == INVALID_HANDLE_VALUE) return -kDevNotOpen;
        // Only a recommendation to the driver; a refusal is no failure.
        ::SetupComm(handle_, in_size, out_size);
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
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = MAXDWORD;
        timeouts.WriteTotalTimeoutConstant = ms;
        ::SetCommTimeouts(handle_, &timeouts);
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
            const DWORD error = ::GetLastError();
            if (error != ERROR_IO_PENDING || !::GetOverlappedResult(handle_, &ov, &got, TRUE)) {
                // The device went away (an adapter pulled, a line hung up).
                hung_up_ = true;
                return 0;
            }
        }
        return static_cast<int>(got);
    }

    int write(const std::uint8_t* buffer, std::size_t n) override {
        std::shared_lock lock(mutex_);
        if (handle_ == INVALID_HANDLE_VALUE || n == 0) return 0;
        std::lock_guard io(write_mutex_);
        OVERLAPPED ov{};
        ov.hEvent = write_event_.get();
        ::ResetEvent(ov.hEvent);
        DWORD put = 0;
        if (!::WriteFile(handle_, buffer, static_cast<DWORD>(n), &put, &ov)) {
            if (::GetLastError() != ERROR_IO_PENDING) return 0;
            // The driver's write time-out should end the write; a driver
            // that ignores it is cancelled at the same limit.
            if (::WaitForSingleObject(ov.hEvent, write_timeout_ms_) != WAIT_OBJECT_0)
                ::CancelIoEx(handle_, &ov);
            if (!::GetOverlappedResult(handle_, &ov, &put, TRUE) && put == 0) return 0;
        }
        if (put == n) return static_cast<int>(n);
        return -static_cast<int>(put);
    }

    int status(DeviceStatus& st) override {
        std::shared_lock lock(mutex_);
        st = {};
        if (handle_ == INVALID_HANDLE_VALUE) return -kDevNotOpen;
        DWORD errors = 0;
        COMSTAT cs{};
        if (!::ClearCommError(handle_, &errors, &cs)) return 0; // a gone device has none
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
            if (lines_supported_ && !unsupported(::GetLastError())) {
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

    void end_wait() override {
        {
            std::shared_lock lock(mutex_);
            // Ends a pending WaitCommEvent at once.
            if (handle_ != INVALID_HANDLE_VALUE) ::SetCommMask(handle_, 0);
        }
        ::SetEvent(wake_.get());
    }

    int wait_event(std::uint32_t& word) override { return wait(word, INFINITE); }

    int wait_event_for(std::uint32_t& word, std::uint32_t ms) override {
        return wait(word, std::min<std::uint32_t>(ms, INFINITE - 1));
    }

private:
    // One WaitCommEvent at a time, the event thread's. A wait whose limit
    // passes stays pending for the next call, so a timed wait costs no new
    // request (Wine starts a thread for each). `limit` INFINITE for none.
    int wait(std::uint32_t& word, DWORD limit) {
        word = 0;
        const ULONGLONG deadline = ::GetTickCount64() + limit;
        for (;;) {
            std::shared_lock lock(mutex_);
            const bool usable = handle_ != INVALID_HANDLE_VALUE && !closing_ && !hung_up_;
            if (!usable) pending_ = false; // a close completed it
            if (!pending_) {
                const auto generation = generation_.load();
                if (generation != seen_generation_) {
                    // A mask set while no wait was pending ends this one.
                    seen_generation_ = generation;
                    ::ResetEvent(wake_.get());
                    return 0;
                }
            }
            DWORD left = INFINITE;
            if (limit != INFINITE) {
                const ULONGLONG now = ::GetTickCount64();
                if (now >= deadline) return 0;
                left = static_cast<DWORD>(deadline - now);
            }
            if (!usable) {
                const bool report = handle_ != INVALID_HANDLE_VALUE && hung_up_ &&
                                    !std::exchange(hang_up_reported_, true);
                lock.unlock();
                // A read found the device gone: say so once, then wait for
                // nothing but a new mask, the close or the limit.
                word = report ? (kEvRxChar | kEvCarrier) & mask_ : 0;
                if (word != 0) return 0;
                ::WaitForSingleObject(wake_.get(), left);
                if (generation_.load() == seen_generation_) ::ResetEvent(wake_.get());
                continue;
            }
            if (!pending_) {
                const std::uint32_t mask = mask_;
                // Output empty always: it ends an output trigger's wait at
                // the moment the queue drains.
                os_mask_ = windows_mask(lines_supported_ ? mask : mask & ~kLineEvents);
                if (mask != 0) os_mask_ |= EV_TXEMPTY;
                if (!::SetCommMask(handle_, os_mask_)) {
                    if (!unsupported(::GetLastError())) return report_gone(word, lock);
                    lines_supported_ = false;
                    continue;
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
                if (!::WaitCommEvent(handle_, &events_, &ov_)) {
                    const DWORD error = ::GetLastError();
                    if (error != ERROR_IO_PENDING) {
                        if (!retry_without_lines(error)) return report_gone(word, lock);
                        continue;
                    }
                    pending_ = true;
                } else if ((word = event_word(events_) & (mask_ | kEvTxEmpty)) != 0) {
                    return 0;
                } else {
                    continue;
                }
            }
            const HANDLE handles[2] = {ov_.hEvent, wake_.get()};
            const DWORD which = ::WaitForMultipleObjects(2, handles, FALSE, left);
            if (which == WAIT_TIMEOUT) return 0; // still pending
            if (which != WAIT_OBJECT_0) {
                // A new mask or the close: end the pending wait first.
                ::SetCommMask(handle_, 0);
            }
            DWORD ignored = 0;
            const bool done = ::GetOverlappedResult(handle_, &ov_, &ignored, TRUE);
            pending_ = false;
            if (!done) {
                const DWORD error = ::GetLastError();
                if (which == WAIT_OBJECT_0 && error != ERROR_OPERATION_ABORTED &&
                    !retry_without_lines(error))
                    return report_gone(word, lock);
                continue;
            }
            if (which != WAIT_OBJECT_0) continue;
            word = event_word(events_) & (mask_ | kEvTxEmpty);
            if (word != 0) return 0;
        }
    }

    // A port without modem lines refuses a wait that names them: from now on
    // it waits for characters and output alone. False for any other error.
    bool retry_without_lines(DWORD error) {
        if (!unsupported(error) || !(os_mask_ & windows_mask(kLineEvents))) return false;
        lines_supported_ = false;
        return true;
    }

    // The wait failed for a reason other than a missing feature: the device
    // went away. Reported once as received characters and a carrier change.
    int report_gone(std::uint32_t& word, std::shared_lock<std::shared_mutex>& lock) {
        {
            std::lock_guard elock(error_mutex_);
            last_error_ = path_ + ": " + win32::SystemMessage(::GetLastError());
        }
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
        if (unsupported(error)) return 0; // a port without that line
        if (hung_up_) return -kDevFailure;
        return fail_windows(error, path_);
    }

    int fail_windows(DWORD error, const std::string& path) {
        int code = kDevFailure;
        DeviceFault fault = DeviceFault::other;
        switch (error) {
        case ERROR_FILE_NOT_FOUND:
            code = kDevNoSuchDevice;
            fault = DeviceFault::missing;
            break;
        case ERROR_PATH_NOT_FOUND:
            code = kDevPathNotFound;
            fault = DeviceFault::missing;
            break;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            // What Windows says about a port another program holds.
            code = kDevAccessDenied;
            fault = DeviceFault::busy;
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
    bool closing_ = false;
    std::string path_;
    Event read_event_, write_event_, wait_event_, wake_;
    std::mutex read_mutex_, write_mutex_;
    std::atomic<bool> lines_supported_{true};
    std::atomic<bool> hung_up_{false};
    bool hang_up_reported_ = false; // the event thread's (and open's)
    // The event thread's WaitCommEvent, kept across timed waits.
    bool pending_ = false;
    OVERLAPPED ov_{};
    DWORD events_ = 0;
    DWORD os_mask_ = 0;
};

} // namespace

std::unique_ptr<SerialDevice> make_serial_device() {
    return std::make_unique<Win32Device>();
}

} // namespace tollander::platform
