// tollander-vmodem: a Tollander modem on a pseudo-terminal, for the tests and
// for trying the flasher without hardware. See --help.
#include "tools/vmodem/event_log.h"
#include "tools/vmodem/modem.h"
#include "tools/vmodem/options.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace tollander::vmodem;

constexpr int kExitMismatch = 1;
constexpr int kExitDevice = 3;

int signal_pipe[2] = {-1, -1};

void on_signal(int) {
    const int saved = errno;
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(signal_pipe[1], &c, 1);
    errno = saved;
}

int device_error(const char* what) {
    std::fprintf(stderr, "tollander-vmodem: %s: %s\n", what, std::strerror(errno));
    return kExitDevice;
}

bool read_file(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    out = text.str();
    return static_cast<bool>(in);
}

// Raw 8-bit line, no echo from the terminal itself: the modem echoes.
bool make_raw(int fd) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0) return false;
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    ::cfsetispeed(&t, B115200);
    ::cfsetospeed(&t, B115200);
    return ::tcsetattr(fd, TCSANOW, &t) == 0;
}

struct Device {
    int master = -1;
    int keeper = -1; // our own descriptor of the far end, so that it never hangs up on us
    int watch = -1;  // inotify: the far end opened and closed
    std::string path;
    std::string link;

    ~Device() {
        if (!link.empty()) {
            char target[256] = {};
            const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
            if (n > 0 && path == std::string(target, static_cast<std::size_t>(n)))
                ::unlink(link.c_str());
        }
        for (int fd : {watch, keeper, master})
            if (fd >= 0) ::close(fd);
    }

    void hang_up() {
        for (int* fd : {&keeper, &master}) {
            if (*fd >= 0) ::close(*fd);
            *fd = -1;
        }
    }
};

int open_device(Device& d) {
    d.master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (d.master < 0) return device_error("cannot open a pseudo-terminal");
    if (::grantpt(d.master) != 0 || ::unlockpt(d.master) != 0)
        return device_error("cannot unlock the pseudo-terminal");
    const char* name = ::ptsname(d.master);
    if (name == nullptr) return device_error("cannot name the pseudo-terminal");
    d.path = name;
    ::fcntl(d.master, F_SETFD, FD_CLOEXEC);
    ::fcntl(d.master, F_SETFL, ::fcntl(d.master, F_GETFL) | O_NONBLOCK);
    d.keeper = ::open(d.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (d.keeper < 0) return device_error(d.path.c_str());
    if (!make_raw(d.keeper)) return device_error("cannot set raw mode");
    d.watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (d.watch >= 0 && ::inotify_add_watch(d.watch, d.path.c_str(),
                                            IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
        ::close(d.watch);
        d.watch = -1;
    }
    return 0;
}

int make_link(Device& d, const std::string& link) {
    if (link.empty()) return 0;
    // check_paths() allowed only an old device link here.
    ::unlink(link.c_str());
    if (::symlink(d.path.c_str(), link.c_str()) != 0)
        return usage_error("--link: cannot create '" + link + "': " + std::strerror(errno));
    d.link = link;
    return 0;
}

// Takes what the far end has written, as far as the modem takes it now.
bool drain_input(Device& d, Modem& modem, std::vector<std::uint8_t>& buffer) {
    for (;;) {
        const std::size_t want = std::min(modem.budget(Clock::now()), buffer.size());
        if (want == 0) return true;
        const ssize_t n = ::read(d.master, buffer.data(), want);
        if (n > 0) {
            modem.receive(buffer.data(), static_cast<std::size_t>(n), Clock::now());
            continue;
        }
        return n < 0 && (errno == EAGAIN || errno == EINTR);
    }
}

// Counts the far end's opens and closes; true when the line was closed at
// some point, even if a new program opened it again at once.
bool read_watch(Device& d, Modem& modem) {
    bool closed = false;
    alignas(inotify_event) char events[4096];
    for (;;) {
        const ssize_t n = ::read(d.watch, events, sizeof events);
        if (n <= 0) break;
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(events + at);
            if (e->mask & IN_OPEN) modem.line_opened(Clock::now());
            if (e->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
                modem.line_closed(Clock::now());
                closed = closed || !modem.line_open();
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
    }
    return closed;
}

// Bytes the closed port never read are lost, and so is what the modem was
// still going to say to it.
void discard_answers(Device& d, Modem& modem) {
    modem.output().clear();
    ::tcflush(d.keeper, TCIFLUSH);
}

bool handle_watch_events(Device& d, Modem& modem, std::vector<std::uint8_t>& buffer) {
    if (!read_watch(d, modem)) return true;
    // Nothing written so far was for a program that opened the port since:
    // this runs before the modem reads anything a new opener wrote.
    discard_answers(d, modem);
    if (modem.line_open()) return true;
    // What the far end wrote before it closed is still taken, and its answers
    // lost too ...
    if (!drain_input(d, modem, buffer)) return false;
    // ... unless it was written by a new opener, whose answers must stay.
    read_watch(d, modem);
    if (modem.line_open()) return true;
    discard_answers(d, modem);
    // A port left exclusive must not lock the next program out.
    ::ioctl(d.keeper, TIOCNXCL);
    return true;
}

// Writes the answers that are due; false when the device failed.
bool write_due(Device& d, Modem& modem, Time now, bool& blocked) {
    blocked = false;
    auto& out = modem.output();
    while (!out.empty() && out.front().due <= now) {
        std::string& bytes = out.front().bytes;
        const ssize_t n = ::write(d.master, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                blocked = true;
                return true;
            }
            return false;
        }
        bytes.erase(0, static_cast<std::size_t>(n));
        if (bytes.empty()) out.pop_front();
    }
    return true;
}

int run(Device& d, Modem& modem, EventLog& log, bool once) {
    std::vector<std::uint8_t> buffer(8192);
    for (;;) {
        Time now = Clock::now();
        modem.tick(now);
        if (modem.hung_up()) {
            d.hang_up();
            log.event("exit", now).text("why", "hung up");
            return 0;
        }
        if (modem.take_line_drop()) {
            int held = 0;
            ::ioctl(d.master, FIONREAD, &held);
            ::tcflush(d.master, TCIFLUSH);
            log.event("line_dropped", now).number("bytes", held);
        }
        bool blocked = false;
        if (!write_due(d, modem, now, blocked)) return device_error("write");
        if (once && modem.upgrade_over(now) && modem.output().empty()) {
            log.event("exit", now).text("why", "upgrade over");
            return 0;
        }

        const std::size_t budget = modem.budget(now);
        pollfd fds[3] = {{d.master, 0, 0}, {signal_pipe[0], POLLIN, 0}, {d.watch, POLLIN, 0}};
        if (budget > 0) fds[0].events |= POLLIN;
        if (blocked) fds[0].events |= POLLOUT;
        std::optional<Time> wake = modem.next_wakeup(now);
        if (!blocked && !modem.output().empty()) {
            const Time due = modem.output().front().due;
            if (!wake || due < *wake) wake = due;
        }
        int timeout = -1;
        if (wake) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*wake - now).count();
            timeout = static_cast<int>(std::clamp<long long>(left, 0, 60000));
        }
        const int ready = ::poll(fds, d.watch >= 0 ? 3 : 2, timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return device_error("poll");
        }
        if (fds[1].revents & POLLIN) {
            log.event("exit", Clock::now()).text("why", "signal");
            return 0;
        }
        if (d.watch >= 0 && (fds[2].revents & POLLIN) && !handle_watch_events(d, modem, buffer))
            return device_error("read");
        if (fds[0].revents & POLLIN) {
            if (!drain_input(d, modem, buffer)) return device_error("read");
        } else if (fds[0].revents & (POLLHUP | POLLERR)) {
            errno = EIO;
            return device_error("the device went away");
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (const auto status = parse_options(argc, argv, options)) return *status;
    if (const std::string problem = check_paths(options); !problem.empty())
        return usage_error(problem);

    std::vector<std::string> expected;
    for (const std::string& file : options.expect) {
        expected.emplace_back();
        if (!read_file(file, expected.back()))
            return usage_error("--expect: cannot read the file '" + file + "'");
    }
    int log_fd = -1;
    if (!options.log_path.empty()) {
        log_fd = ::open(options.log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (log_fd < 0)
            return usage_error("--log: cannot write '" + options.log_path +
                               "': " + std::strerror(errno));
    }

    std::signal(SIGPIPE, SIG_IGN);
    if (::pipe(signal_pipe) != 0) return device_error("pipe");
    for (int fd : signal_pipe)
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(signal_pipe[1], F_SETFL, O_NONBLOCK);
    struct sigaction action {};
    action.sa_handler = on_signal;
    ::sigemptyset(&action.sa_mask);
    for (int s : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(s, &action, nullptr);

    int status = 0;
    {
        Device device;
        if (const int failed = open_device(device)) return failed;
        if (const int failed = make_link(device, options.link_path)) return failed;

        const Time start = Clock::now();
        EventLog log(log_fd, start);
        log.event("start", start).text("device", device.path);
        Modem modem(options, std::move(expected), log, start);

        std::printf("%s\n", device.path.c_str());
        std::fflush(stdout);

        status = run(device, modem, log, options.once);
        if (status == 0 && modem.image_mismatch()) status = kExitMismatch;
    }
    if (log_fd >= 0) ::close(log_fd);
    return status;
}
