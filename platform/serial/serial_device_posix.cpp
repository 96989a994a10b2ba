// The serial device on POSIX: a terminal opened non-blocking and held
// exclusively, its events from epoll and the modem-line counters; closed,
// it is left with the settings, lines and exclusive mode it was found with.
#include "platform/serial/serial_device.h"

#include "platform/thread/clock.h"
#include "platform/serial/own_terminal_posix.h"
#include "platform/serial/serial_device_base.h"
#include "platform/serial/serial_device_os.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <mutex>
#include <poll.h>
#include <shared_mutex>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace tollander::platform {

namespace {

// The longest single wait of a write for room.
constexpr long long kWriteSliceMs = 100;

// A line that cannot be controlled is a pseudo-terminal or an adapter without
// modem lines, not an error.
bool LinesUnsupported(int err) {
    return err == ENOTTY || err == EINVAL || err == EOPNOTSUPP;
}

speed_t SpeedOf(std::int32_t baud) {
    switch (baud) {
    case 50:
        return B50;
    case 75:
        return B75;
    case 110:
        return B110;
    case 134:
        return B134;
    case 150:
        return B150;
    case 200:
        return B200;
    case 300:
        return B300;
    case 600:
        return B600;
    case 1200:
        return B1200;
    case 1800:
        return B1800;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    case 230400:
        return B230400;
    case 460800:
        return B460800;
    case 500000:
        return B500000;
    case 576000:
        return B576000;
    case 921600:
        return B921600;
    case 1000000:
        return B1000000;
    default:
        return B0;
    }
}

std::int32_t BaudOf(speed_t speed) {
    static const std::int32_t rates[] = {
        50,   75,    110,   134,   150,    200,    300,    600,    1200,   1800,   2400,   4800,
        9600, 19200, 38400, 57600, 115200, 230400, 460800, 500000, 576000, 921600, 1000000};
    for (auto rate : rates)
        if (SpeedOf(rate) == speed) return rate;
    return 0;
}

class TermiosDevice final : public SerialDeviceBase {
public:
    ~TermiosDevice() override {
        close();
        if (epoll_fd_ >= 0) ::close(epoll_fd_);
        if (wake_fd_ >= 0) ::close(wake_fd_);
    }

    int open(const std::string& name) override {
        std::unique_lock lock(mutex_);
        std::string path;
        if (const int rc = open_path(fd_ >= 0, name, path); rc != 0) return rc;
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return fail_open(errno, path);
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || !::isatty(fd)) {
            ::close(fd);
            return fail_not_serial(path);
        }
        // Refused before anything is set or sent: the user's own session.
        if (IsOwnTerminal(st.st_rdev)) {
            ::close(fd);
            return fail(kDevNoSuchDevice, DeviceFault::OwnTerminal,
                        path + ": the terminal this program runs in");
        }
        // flock keeps out later programs that take the lock too (root's
        // included) and a second open of ours; TIOCEXCL, set below once the
        // open cannot fail, every later open but root's. Neither holds
        // against opens that came before.
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int err = errno;
            ::close(fd);
            if (err == EWOULDBLOCK)
                return fail(kDevAccessDenied, DeviceFault::Busy,
                            path + ": in use by another program");
            return fail_errno(err, path);
        }
        if (wake_fd_ < 0) wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (epoll_fd_ < 0) {
            epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.fd = wake_fd_;
            ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_fd_, &ev);
        }
        if (wake_fd_ < 0 || epoll_fd_ < 0) {
            ::close(fd);
            return fail_errno(errno, path);
        }
        // Edge-triggered: a received-character event means new bytes arrived,
        // not that some are still queued (a full ring leaves them there).
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLET;
        ev.data.fd = fd;
        if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
            const int err = errno;
            ::close(fd);
            return fail_errno(err, path);
        }
        int lines = 0;
        lines_supported_ = ::ioctl(fd, TIOCMGET, &lines) == 0;
        last_lines_ = lines;
        serial_icounter_struct counts{};
        counters_supported_ = ::ioctl(fd, TIOCGICOUNT, &counts) == 0;
        last_counts_ = counts;
        hung_up_ = false;
        fd_ = fd;
        path_ = path;
        // What close() puts back: the settings, the lines and the exclusive
        // mode as they were found.
        found_ = Found{};
        found_.settings_known = ::tcgetattr(fd, &found_.settings) == 0;
        found_.lines = lines;
        int exclusive = 0;
        found_.exclusive = ::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
        if (!found_.exclusive) ::ioctl(fd, TIOCEXCL);
        // Raw from the start: nothing received is cooked or echoed.
        if (found_.settings_known) {
            termios tio = found_.settings;
            ::cfmakeraw(&tio);
            tio.c_cflag |= CLOCAL | CREAD;
            tio.c_cc[VMIN] = 0;
            tio.c_cc[VTIME] = 0;
            ::tcsetattr(fd, TCSANOW, &tio);
        }
        return 0;
    }

    void close() override {
        {
            std::unique_lock lock(mutex_);
            if (fd_ < 0) return;
            restore_found();
            ::close(fd_); // also leaves the epoll set and drops the flock
            fd_ = -1;
        }
        signal_waiter();
    }

    bool is_open() const override {
        std::shared_lock lock(mutex_);
        return fd_ >= 0;
    }

    int set_queue_sizes(std::uint16_t, std::uint16_t) override {
        // The kernel keeps its own buffers; the record keeps the sizes.
        std::shared_lock lock(mutex_);
        return fd_ >= 0 ? 0 : -kDevNotOpen;
    }

    int read_settings(LineSettings& settings) override {
        std::shared_lock lock(mutex_);
        if (fd_ < 0) return -kDevNotOpen;
        termios tio{};
        if (::tcgetattr(fd_, &tio) != 0) return fail_errno(errno, path_);
        std::lock_guard slock(settings_mutex_);
        settings = settings_;
        settings.baud = BaudOf(::cfgetospeed(&tio));
        switch (tio.c_cflag & CSIZE) {
        case CS5:
            settings.data_bits = 5;
            break;
        case CS6:
            settings.data_bits = 6;
            break;
        case CS7:
            settings.data_bits = 7;
            break;
        default:
            settings.data_bits = 8;
            break;
        }
        if (!(tio.c_cflag & PARENB))
            settings.parity = 0;
        else if (tio.c_cflag & CMSPAR)
            settings.parity = (tio.c_cflag & PARODD) ? 3 : 4;
        else
            settings.parity = (tio.c_cflag & PARODD) ? 1 : 2;
        if (!(tio.c_cflag & CSTOPB))
            settings.stop_bits = 0;
        else if (settings.stop_bits == 0)
            settings.stop_bits = 2;
        settings.out_x = tio.c_iflag & IXON;
        settings.in_x = tio.c_iflag & IXOFF;
        settings.xon_char = static_cast<char>(tio.c_cc[VSTART]);
        settings.xoff_char = static_cast<char>(tio.c_cc[VSTOP]);
        return 0;
    }

    int write_settings(const LineSettings& s) override {
        std::shared_lock lock(mutex_);
        if (fd_ < 0) return -kDevNotOpen;
        termios tio{};
        if (::tcgetattr(fd_, &tio) != 0) return fail_errno(errno, path_);
        const speed_t speed = SpeedOf(s.baud);
        if (speed == B0) return fail(kDevFailure, DeviceFault::Other, path_ + ": unsupported bit rate");
        ::cfmakeraw(&tio);
        tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
        tio.c_cflag |= CLOCAL | CREAD;
        switch (s.data_bits) {
        case 5:
            tio.c_cflag |= CS5;
            break;
        case 6:
            tio.c_cflag |= CS6;
            break;
        case 7:
            tio.c_cflag |= CS7;
            break;
        case 8:
            tio.c_cflag |= CS8;
            break;
        default:
            return fail(kDevFailure, DeviceFault::Other, path_ + ": unsupported data bits");
        }
        switch (s.parity) {
        case 0:
            break;
        case 1:
            tio.c_cflag |= PARENB | PARODD;
            break;
        case 2:
            tio.c_cflag |= PARENB;
            break;
        case 3:
            tio.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case 4:
            tio.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            return fail(kDevFailure, DeviceFault::Other, path_ + ": unsupported parity");
        }
        if (s.stop_bits != 0) tio.c_cflag |= CSTOPB;
        // The terminal has one RTS/CTS handshake for both directions.
        if (s.rts_control == LineControl::handshake || s.out_cts_flow) tio.c_cflag |= CRTSCTS;
        tio.c_iflag &= ~(IXON | IXOFF | IXANY);
        if (s.out_x) tio.c_iflag |= IXON;
        if (s.in_x) tio.c_iflag |= IXOFF;
        tio.c_cc[VSTART] = static_cast<cc_t>(s.xon_char);
        tio.c_cc[VSTOP] = static_cast<cc_t>(s.xoff_char);
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        ::cfsetispeed(&tio, speed);
        ::cfsetospeed(&tio, speed);
        if (::tcsetattr(fd_, TCSANOW, &tio) != 0) return fail_errno(errno, path_);
        std::lock_guard slock(settings_mutex_);
        settings_ = s;
        return 0;
    }

    void set_write_timeout(std::uint32_t ms) override { write_timeout_ms_ = ms; }

    int read(std::uint8_t* buffer, std::size_t n) override {
        std::shared_lock lock(mutex_);
        if (fd_ < 0) return -kDevNotOpen;
        const ssize_t got = ::read(fd_, buffer, n);
        if (got >= 0) return static_cast<int>(got);
        if (errno == EAGAIN || errno == EINTR) return 0;
        if (errno == EIO) {
            hung_up_ = true;
            return 0;
        }
        return fail_errno(errno, path_);
    }

    int write(const std::uint8_t* buffer, std::size_t n) override {
        bool heard = false;
        return put(buffer, n, false, heard);
    }

    int write_listening(const std::uint8_t* buffer, std::size_t n, bool& heard) override {
        return put(buffer, n, true, heard);
    }

    // A write; with `listen`, received bytes end its wait for room (`heard`).
    int put(const std::uint8_t* buffer, std::size_t n, bool listen, bool& heard) {
        heard = false;
        std::shared_lock lock(mutex_);
        if (fd_ < 0) {
            fail_closed(path_);
            return 0;
        }
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::milliseconds(write_timeout_ms_.load());
        std::size_t done = 0;
        // Why the write ended short: the system's error, or else the words
        // for a limit that passed.
        int err = 0;
        const char* why = "the device took no more before the write time-out";
        while (done < n) {
            const ssize_t put = ::write(fd_, buffer + done, n - done);
            if (put > 0) {
                done += static_cast<std::size_t>(put);
                continue;
            }
            if (put < 0 && errno == EINTR) continue;
            if (put < 0 && errno != EAGAIN) { // EIO: the device went away
                err = errno;
                break;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                    .count();
            if (left <= 0) break;
            // Waited for in short slices: a slice that ends much later than
            // asked means the program stood still, and the modem may have
            // given the upload up meanwhile.
            const auto slice = std::min<long long>(left, kWriteSliceMs);
            const std::int64_t asked = MonotonicMilliseconds();
            pollfd p{fd_, static_cast<short>(listen ? POLLOUT | POLLIN : POLLOUT), 0};
            const int ready = ::poll(&p, 1, static_cast<int>(slice));
            if (MonotonicMilliseconds() - asked > slice + kSenderStallLimit.count()) {
                why = "the program stood still while the device waited for more";
                break;
            }
            if (ready == 0) continue;
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0) err = errno;
            if (ready <= 0 || (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
                // A hung-up terminal refuses the next write with EIO.
                if (err == 0) err = EIO;
                break;
            }
            // The modem spoke while the line held the rest back: that goes
            // first, even when room came at the same moment.
            if (p.revents & POLLIN) {
                heard = true;
                break;
            }
        }
        if (done == n) return static_cast<int>(n);
        // Cut short by the modem's answer: no fault of the device.
        if (heard) return -static_cast<int>(done);
        if (err != 0)
            fail_errno(err, path_);
        else
            fail(kDevFailure, DeviceFault::Other, path_ + ": " + why);
        return -static_cast<int>(done);
    }

    int status(DeviceStatus& st) override {
        std::shared_lock lock(mutex_);
        st = {};
        if (fd_ < 0) return -kDevNotOpen;
        int queued = 0;
        if (::ioctl(fd_, FIONREAD, &queued) == 0 && queued > 0) st.in_queue = queued;
        int pending = 0;
        if (::ioctl(fd_, TIOCOUTQ, &pending) == 0 && pending > 0) st.out_queue = pending;
        if (counters_supported_) {
            serial_icounter_struct counts{};
            if (::ioctl(fd_, TIOCGICOUNT, &counts) == 0) {
                std::lock_guard slock(settings_mutex_);
                if (counts.buf_overrun != last_counts_.buf_overrun) st.errors |= kErrRxOverrun;
                if (counts.overrun != last_counts_.overrun) st.errors |= kErrHwOverrun;
                if (counts.parity != last_counts_.parity) st.errors |= kErrParity;
                if (counts.frame != last_counts_.frame) st.errors |= kErrFraming;
                if (counts.brk != last_counts_.brk) st.errors |= kErrBreak;
                last_counts_ = counts;
            }
        }
        return 0;
    }

    int purge(PurgeQueue which) override {
        std::shared_lock lock(mutex_);
        if (fd_ < 0) return -kDevNotOpen;
        if (::tcflush(fd_, which == PurgeQueue::output ? TCOFLUSH : TCIFLUSH) != 0 && !hung_up_)
            return fail_errno(errno, path_);
        return 0;
    }

    int line_function(LineFunction function) override {
        std::shared_lock lock(mutex_);
        if (fd_ < 0) return -kDevNotOpen;
        int bit = 0;
        unsigned long request = TIOCMBIS;
        switch (function) {
        case LineFunction::set_xoff:
            return ::tcflow(fd_, TCIOFF) == 0 ? 0 : soft_fail();
        case LineFunction::set_xon:
            return ::tcflow(fd_, TCION) == 0 ? 0 : soft_fail();
        case LineFunction::set_rts:
            bit = TIOCM_RTS;
            break;
        case LineFunction::clear_rts:
            bit = TIOCM_RTS, request = TIOCMBIC;
            break;
        case LineFunction::set_dtr:
            bit = TIOCM_DTR;
            break;
        case LineFunction::clear_dtr:
            bit = TIOCM_DTR, request = TIOCMBIC;
            break;
        }
        if (::ioctl(fd_, request, &bit) == 0 || LinesUnsupported(errno)) return 0;
        return soft_fail();
    }

    int set_break(bool on) override {
        std::shared_lock lock(mutex_);
        if (fd_ < 0) return -kDevNotOpen;
        if (::ioctl(fd_, on ? TIOCSBRK : TIOCCBRK) == 0 || LinesUnsupported(errno)) return 0;
        return soft_fail();
    }

    int transmit_char(std::uint8_t ch) override { return write(&ch, 1) == 1 ? 0 : -kDevFailure; }

    int modem_lines(std::uint8_t& states) override {
        std::shared_lock lock(mutex_);
        if (fd_ < 0) return -kDevNotOpen;
        if (hung_up_) {
            states = 0; // no carrier from a device that went away
            return 0;
        }
        if (!lines_supported_) {
            states = kLineCts | kLineDsr | kLineCarrier;
            return 0;
        }
        int lines = 0;
        if (::ioctl(fd_, TIOCMGET, &lines) != 0) {
            states = LinesUnsupported(errno) ? kLineCts | kLineDsr | kLineCarrier : 0;
            return 0;
        }
        states = line_bits(lines);
        return 0;
    }

    void end_wait() override { signal_waiter(); }

    int wait_event(std::uint32_t& word) override { return wait(word, -1); }

    int wait_event_for(std::uint32_t& word, std::uint32_t ms) override {
        return wait(word, static_cast<int>(std::min<std::uint32_t>(ms, INT_MAX)));
    }

private:
    // limit_ms < 0: no time limit.
    int wait(std::uint32_t& word, int limit_ms) {
        using Clock = std::chrono::steady_clock;
        word = 0;
        const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(limit_ms, 0));
        for (;;) {
            int timeout = -1;
            {
                std::shared_lock lock(mutex_);
                // Real modem lines cannot be waited for together with the
                // data; they are looked at ten times a second instead.
                if (fd_ >= 0 && lines_supported_ && !hung_up_ && (mask_ & kLineEvents))
                    timeout = 100;
            }
            if (limit_ms >= 0) {
                const auto left =
                    std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
                const int left_ms = static_cast<int>(std::max<decltype(left)>(left, 0));
                timeout = timeout < 0 ? left_ms : std::min(timeout, left_ms);
            }
            epoll_event events[4];
            const int n = ::epoll_wait(epoll_fd_, events, 4, timeout);
            if (n < 0 && errno != EINTR) return -kDevFailure;
            for (int i = 0; i < n; ++i) {
                if (events[i].data.fd == wake_fd_) {
                    std::uint64_t count;
                    while (::read(wake_fd_, &count, sizeof count) > 0) {
                    }
                    continue;
                }
                if (events[i].events & (EPOLLHUP | EPOLLERR)) {
                    // The far end went away: report it once, then never poll
                    // the dead descriptor again.
                    std::shared_lock lock(mutex_);
                    if (fd_ >= 0) ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd_, nullptr);
                    hung_up_ = true;
                    word |= kEvRxChar | kEvCarrier;
                } else if (events[i].events & EPOLLIN) {
                    word |= kEvRxChar;
                }
            }
            word |= line_changes();
            word &= mask_;
            // A mask set while no wait was pending ends this one: a stop that
            // came just before the wait is not lost.
            const auto generation = generation_.load();
            if (word != 0 || generation != seen_generation_) {
                seen_generation_ = generation;
                return 0;
            }
            if (limit_ms >= 0 && Clock::now() >= deadline) return 0;
        }
    }

    static constexpr std::uint32_t kLineEvents =
        kEvCts | kEvDsr | kEvCarrier | kEvRing | kEvRingTrailingEdge;

    static std::uint8_t line_bits(int lines) {
        std::uint8_t states = 0;
        if (lines & TIOCM_CTS) states |= kLineCts;
        if (lines & TIOCM_DSR) states |= kLineDsr;
        if (lines & TIOCM_RNG) states |= kLineRing;
        if (lines & TIOCM_CD) states |= kLineCarrier;
        return states;
    }

    std::uint32_t line_changes() {
        std::shared_lock lock(mutex_);
        if (fd_ < 0 || !lines_supported_ || hung_up_) return 0;
        int lines = 0;
        if (::ioctl(fd_, TIOCMGET, &lines) != 0) return 0;
        const int changed = lines ^ last_lines_.exchange(lines);
        std::uint32_t word = 0;
        if (changed & TIOCM_CTS) word |= kEvCts;
        if (changed & TIOCM_DSR) word |= kEvDsr;
        if (changed & TIOCM_CD) word |= kEvCarrier;
        if (changed & TIOCM_RNG) word |= (lines & TIOCM_RNG) ? kEvRing : kEvRingTrailingEdge;
        return word;
    }

    void signal_waiter() {
        if (wake_fd_ < 0) return;
        const std::uint64_t one = 1;
        [[maybe_unused]] auto r = ::write(wake_fd_, &one, sizeof one);
    }

    // Leaves the device as open() found it, for whoever uses it next (a
    // terminal outlives our close while another program holds it): the
    // settings first, since a changed rate or handshake moves the lines,
    // then DTR and RTS, then the exclusive mode. A device that went away
    // refuses, which changes nothing. (Under the exclusive lock.)
    void restore_found() {
        if (found_.settings_known) ::tcsetattr(fd_, TCSANOW, &found_.settings);
        if (lines_supported_) {
            for (const int line : {TIOCM_DTR, TIOCM_RTS}) {
                int bit = line;
                ::ioctl(fd_, (found_.lines & line) ? TIOCMBIS : TIOCMBIC, &bit);
            }
        }
        if (!found_.exclusive) ::ioctl(fd_, TIOCNXCL);
    }

    // A failed open in the words the port listing has for the same path
    // (port_info_posix.cpp): something there that is no character device
    // (a directory, a socket) is not a serial device.
    int fail_open(int err, const std::string& path) {
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0 && !S_ISCHR(st.st_mode)) return fail_not_serial(path);
        return fail_errno(err, path);
    }

    int soft_fail() {
        if (hung_up_ || errno == EIO) return -kDevFailure;
        return fail_errno(errno, path_);
    }

    int fail_errno(int err, const std::string& path) {
        int code = kDevFailure;
        DeviceFault fault = DeviceFault::Other;
        switch (err) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case ELOOP: // a link loop or an over-long name: it leads nowhere
        case ENAMETOOLONG:
            code = kDevNoSuchDevice;
            fault = DeviceFault::Missing;
            break;
        case ENOTDIR:
            code = kDevPathNotFound;
            fault = DeviceFault::Missing;
            break;
        case EACCES:
        case EPERM:
            code = kDevAccessDenied;
            fault = DeviceFault::Permission;
            break;
        case EBUSY: // TIOCEXCL set by another program
            code = kDevAccessDenied;
            fault = DeviceFault::Busy;
            break;
        case ENOMEM:
            code = kDevOutOfMemory;
            break;
        default:
            break;
        }
        return fail(code, fault, path + ": " + std::strerror(err));
    }

    mutable std::shared_mutex mutex_; // the descriptor: exclusive to open and close it
    int fd_ = -1;
    int wake_fd_ = -1;
    int epoll_fd_ = -1;
    std::string path_;
    std::atomic<bool> hung_up_{false};
    std::atomic<bool> lines_supported_{false};
    std::atomic<int> last_lines_{0};
    bool counters_supported_ = false;
    struct Found {
        bool settings_known = false;
        termios settings{};
        int lines = 0;
        bool exclusive = false;
    } found_;

    mutable std::mutex settings_mutex_;
    LineSettings settings_;
    serial_icounter_struct last_counts_{};
};

} // namespace

std::unique_ptr<SerialDevice> serial_device_os::MakeLineDevice() {
    return std::make_unique<TermiosDevice>();
}

} // namespace tollander::platform
