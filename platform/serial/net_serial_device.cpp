// The network serial device: see net_serial_device.h. A receive thread takes
// what the server sends, answers its Telnet requests and keeps the line's
// data, the modem's lines and the server's flow control; the caller's
// writes go out paced at the line's own rate, so that "room" and "not yet
// sent" mean what they mean on a serial port and the server's buffers stay
// small.
#include "platform/serial/net_serial_device.h"

#include "platform/thread/clock.h"
#include "platform/serial/net_serial_device_os.h"
#include "platform/serial/serial_device_base.h"
#include "platform/serial/telnet.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace tollander::platform {

namespace {

constexpr std::string_view kTelnetScheme = "rfc2217://";
constexpr std::string_view kSocketScheme = "socket://";

// The longest single wait of the receive thread and of a write; the stall
// check of a write looks between two of them.
constexpr int kSliceMs = 100;
// What the receive thread keeps for read() before it lets the server wait.
constexpr std::size_t kInputLimit = 64 * 1024;
// Output queue of the paced line when set_queue_sizes gave none.
constexpr std::size_t kDefaultOutQueue = 4096;
// Malformed Telnet commands tolerated before the connection is given up.
constexpr int kMalformedLimit = 8;

bool StartsWith(const std::string& s, std::string_view prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

// The printable words a server sent before it closed ("Port already in use").
std::string ServerWords(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    for (const std::uint8_t b : bytes) {
        if (b >= 0x20 && b < 0x7F)
            text += static_cast<char>(b);
        else if (!text.empty() && text.back() != ' ')
            text += ' ';
        if (text.size() >= 120) break;
    }
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

// Keeps the first of `data` in `kept`, up to the words a server says.
void Keep(std::vector<std::uint8_t>& kept, const std::vector<std::uint8_t>& data) {
    constexpr std::size_t kKept = 256;
    if (kept.size() < kKept)
        kept.insert(kept.end(), data.begin(),
                    data.begin() + static_cast<std::ptrdiff_t>(
                                       std::min(data.size(), kKept - kept.size())));
}

// A line of `s`: microseconds one character takes.
std::int64_t CharMicros(const LineSettings& s) {
    const int half_bits = 2 * (1 + s.data_bits + (s.parity != 0 ? 1 : 0)) +
                          (s.stop_bits == 0 ? 2 : s.stop_bits == 1 ? 3 : 4);
    const std::int64_t baud = s.baud > 0 ? s.baud : 115200;
    return std::max<std::int64_t>(1, half_bits * 500000LL / baud);
}

std::int64_t NowMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Looks host:port up, waiting until `deadline` at most: std::nullopt when
// the lookup had not ended by then. The system's lookup cannot be cut short,
// so it runs on a thread of its own that shares nothing with the caller but
// the place of its result: an open that stopped waiting leaves it to finish
// alone and to free what it found.
std::optional<net_os::Resolution> resolve_by(const NetResolver& resolver, const std::string& host,
                                             const std::string& port, std::int64_t deadline) {
    struct Lookup {
        std::mutex mutex;
        std::condition_variable done_cv;
        std::optional<net_os::Resolution> result;
    };
    const auto lookup = std::make_shared<Lookup>();
    try {
        std::thread([lookup, resolver, host, port] {
            net_os::Resolution found = resolver(host, port);
            std::lock_guard lock(lookup->mutex);
            lookup->result = std::move(found);
            lookup->done_cv.notify_all();
        }).detach();
    } catch (const std::system_error& e) {
        net_os::Resolution none;
        none.failure = net_os::ConnectFailure::Other;
        none.text = std::string("no thread for the host name's lookup: ") + e.what();
        return none;
    }
    std::unique_lock lock(lookup->mutex);
    lookup->done_cv.wait_for(
        lock,
        std::chrono::milliseconds(std::max<std::int64_t>(0, deadline - MonotonicMilliseconds())),
        [&] { return lookup->result.has_value(); });
    return std::move(lookup->result);
}

class NetSerialDevice final : public SerialDeviceBase {
public:
    explicit NetSerialDevice(NetResolver resolver) : resolver_(std::move(resolver)) {}
    ~NetSerialDevice() override { close(); }

    int open(const std::string& name) override {
        std::string device;
        if (const int rc = open_path(is_open(), name, device); rc != 0) return rc;
        const auto parsed = ParseNetworkPort(device);
        if (!parsed)
            return fail(kDevNoSuchDevice, DeviceFault::Other,
                        device + ": not a serial server's port; write rfc2217://HOST:PORT or " +
                            "socket://HOST:PORT (an IPv6 address in brackets)");
        const std::int64_t deadline = MonotonicMilliseconds() + kNetOpenLimit.count();
        auto found = resolve_by(resolver_, parsed->host, parsed->port, deadline);
        if (!found)
            return fail(kDevNoSuchDevice, DeviceFault::Other,
                        device + ": the host name " + parsed->host + " did not resolve within " +
                            std::to_string(kNetOpenLimit.count()) +
                            " ms; check the name and the name server, or name the server by "
                            "its address");
        const net_os::Socket s = connect_within(*found, deadline);
        if (s == net_os::kNoSocket) return fail_connect(device, parsed->host, *found);
        {
            std::lock_guard lock(mutex_);
            socket_ = s;
            device_ = device;
            telnet_ = parsed->telnet;
            hung_up_ = false;
            stopping_ = false;
            suspended_ = false;
            lines_known_ = false;
            lines_ = 0;
            com_port_heard_ = false;
            opening_ = parsed->telnet;
            sent_data_ = false;
            malformed_ = 0;
            input_.clear();
            early_.clear();
            latest_.clear();
            pending_ = 0;
            parser_ = {};
            negotiator_ = {};
            line_free_at_ = 0;
        }
        clear_failure(); // a line closed before this open is no more
        reader_ = std::thread([this] { receive_loop(); });
        if (!telnet_) return 0;
        // The server agrees to COM-port control, then answers a command of
        // it: a server that serves another client agrees too, then says so
        // in words and closes.
        send_bytes(negotiator_opening());
        std::unique_lock lock(mutex_);
        const auto until = [&](auto done) {
            cv_.wait_for(lock,
                         std::chrono::milliseconds(
                             std::max<std::int64_t>(0, deadline - MonotonicMilliseconds())),
                         [&] { return done() || hung_up_; });
        };
        until([&] { return negotiator_.ComPortAgreed() || negotiator_.ComPortRefused(); });
        if (negotiator_.ComPortAgreed() && !hung_up_) {
            lock.unlock();
            // Every change of the modem's lines is told; line errors are not.
            std::vector<std::uint8_t> out;
            telnet::AppendComPortCommand(telnet::kSetModemStateMask, {0xFF}, out);
            telnet::AppendComPortCommand(telnet::kSetLineStateMask, {0}, out);
            send_bytes(out);
            lock.lock();
            until([&] { return com_port_heard_; });
            if (com_port_heard_ && !hung_up_) {
                opening_ = false;
                return 0;
            }
        }
        std::string reason;
        if (malformed_ >= kMalformedLimit)
            reason = "the serial server sent malformed Telnet commands; check that the port is "
                     "an RFC 2217 port of the server";
        else if (negotiator_.ComPortRefused())
            reason = "the serial server does not control the line (RFC 2217); name the port "
                     "socket://" +
                     device.substr(kTelnetScheme.size()) + " or enable RFC 2217 on the server";
        else if (hung_up_ || (negotiator_.ComPortAgreed() && !early_.empty())) {
            const std::string words = ServerWords(early_);
            reason = words.empty()
                         ? "the serial server closed the connection; check that the port is free"
                         : "the serial server refused the connection (\"" + words +
                               "\"); another client holds this port";
        } else
            reason = "the serial server accepted the connection but did not negotiate within " +
                     std::to_string(kNetOpenLimit.count()) +
                     " ms; check that the port is an RFC 2217 port of the server";
        lock.unlock();
        close();
        // Open failures go as "no such device", the code that carries words.
        return fail(kDevNoSuchDevice, DeviceFault::Other, device + ": " + reason);
    }

    void close() override {
        {
            std::lock_guard lock(mutex_);
            if (socket_ == net_os::kNoSocket) return;
            stopping_ = true;
            net_os::Shut(socket_);
        }
        cv_.notify_all();
        if (reader_.joinable()) reader_.join();
        std::lock_guard lock(mutex_);
        net_os::Release(socket_);
        socket_ = net_os::kNoSocket;
        cv_.notify_all();
    }

    bool is_open() const override {
        std::lock_guard lock(mutex_);
        return socket_ != net_os::kNoSocket;
    }

    int set_queue_sizes(std::uint16_t, std::uint16_t out_size) override {
        std::lock_guard lock(mutex_);
        if (socket_ == net_os::kNoSocket) return -kDevNotOpen;
        out_capacity_ = out_size > 0 ? out_size : kDefaultOutQueue;
        return 0;
    }

    int read_settings(LineSettings& settings) override {
        std::lock_guard lock(mutex_);
        if (socket_ == net_os::kNoSocket) return -kDevNotOpen;
        settings = settings_;
        return 0;
    }

    int write_settings(const LineSettings& s) override {
        if (s.baud <= 0 || s.data_bits < 5 || s.data_bits > 8 || s.parity > 4 || s.stop_bits > 2)
            return fail(kDevFailure, DeviceFault::Other, device_ + ": unsupported line settings");
        {
            std::lock_guard lock(mutex_);
            if (socket_ == net_os::kNoSocket) return -kDevNotOpen;
            settings_ = s;
        }
        if (!telnet_) return 0; // the server's settings stand
        static constexpr std::uint8_t kParity[] = {1, 2, 3, 4, 5};   // none, odd, even, mark, space
        static constexpr std::uint8_t kStopSize[] = {1, 3, 2};       // one, one and a half, two
        const auto baud = static_cast<std::uint32_t>(s.baud);
        std::vector<std::uint8_t> out;
        telnet::AppendComPortCommand(telnet::kSetBaudRate,
                                 {static_cast<std::uint8_t>(baud >> 24),
                                  static_cast<std::uint8_t>(baud >> 16),
                                  static_cast<std::uint8_t>(baud >> 8),
                                  static_cast<std::uint8_t>(baud)},
                                 out);
        telnet::AppendComPortCommand(telnet::kSetDataSize, {s.data_bits}, out);
        telnet::AppendComPortCommand(telnet::kSetParity, {kParity[s.parity]}, out);
        telnet::AppendComPortCommand(telnet::kSetStopSize, {kStopSize[s.stop_bits]}, out);
        const bool hardware = s.rts_control == LineControl::handshake || s.out_cts_flow;
        const std::uint8_t flow = hardware ? 3 : (s.out_x || s.in_x) ? 2 : 1;
        telnet::AppendComPortCommand(telnet::kSetControl, {flow}, out);
        if (s.dtr_control != LineControl::handshake)
            telnet::AppendComPortCommand(telnet::kSetControl,
                                     {s.dtr_control == LineControl::disabled ? std::uint8_t{9}
                                                                              : std::uint8_t{8}},
                                     out);
        if (!hardware)
            telnet::AppendComPortCommand(telnet::kSetControl,
                                     {s.rts_control == LineControl::disabled ? std::uint8_t{12}
                                                                              : std::uint8_t{11}},
                                     out);
        return send_bytes(out) ? 0 : -kDevFailure;
    }

    void set_write_timeout(std::uint32_t ms) override { write_timeout_ms_ = ms; }

    int read(std::uint8_t* buffer, std::size_t n) override {
        std::lock_guard lock(mutex_);
        if (socket_ == net_os::kNoSocket) return -kDevNotOpen;
        const std::size_t count = std::min(n, input_.size());
        std::copy_n(input_.begin(), count, buffer);
        input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(count));
        if (count > 0) cv_.notify_all(); // room for the receive thread
        return static_cast<int>(count);
    }

    int write(const std::uint8_t* buffer, std::size_t n) override {
        bool heard = false;
        return put(buffer, n, false, heard);
    }

    int write_listening(const std::uint8_t* buffer, std::size_t n, bool& heard) override {
        return put(buffer, n, true, heard);
    }

    int status(DeviceStatus& st) override {
        std::lock_guard lock(mutex_);
        st = {};
        if (socket_ == net_os::kNoSocket) return -kDevNotOpen;
        st.in_queue = static_cast<std::uint32_t>(input_.size());
        const std::int64_t per_char = CharMicros(settings_);
        const std::int64_t queued = std::max<std::int64_t>(0, line_free_at_ - NowMicros());
        st.out_queue = static_cast<std::uint32_t>((queued + per_char - 1) / per_char);
        return 0;
    }

    int purge(PurgeQueue which) override {
        {
            std::lock_guard lock(mutex_);
            if (socket_ == net_os::kNoSocket) return -kDevNotOpen;
            if (which == PurgeQueue::input)
                input_.clear();
            else
                line_free_at_ = 0;
        }
        cv_.notify_all();
        // The server's own buffers too: its receive (1) or transmit (2) buffer.
        return com_port(telnet::kPurgeData, {std::uint8_t(which == PurgeQueue::input ? 1 : 2)});
    }

    int line_function(LineFunction function) override {
        if (!is_open()) return -kDevNotOpen;
        switch (function) {
        case LineFunction::set_xoff:
            return com_port(telnet::kFlowControlSuspend, {});
        case LineFunction::set_xon:
            return com_port(telnet::kFlowControlResume, {});
        case LineFunction::set_rts:
            return com_port(telnet::kSetControl, {11});
        case LineFunction::clear_rts:
            return com_port(telnet::kSetControl, {12});
        case LineFunction::set_dtr:
            return com_port(telnet::kSetControl, {8});
        case LineFunction::clear_dtr:
            return com_port(telnet::kSetControl, {9});
        }
        return 0;
    }

    int set_break(bool on) override {
        if (!is_open()) return -kDevNotOpen;
        return com_port(telnet::kSetControl, {std::uint8_t(on ? 5 : 6)});
    }

    int transmit_char(std::uint8_t ch) override { return write(&ch, 1) == 1 ? 0 : -kDevFailure; }

    int modem_lines(std::uint8_t& states) override {
        std::lock_guard lock(mutex_);
        if (socket_ == net_os::kNoSocket) return -kDevNotOpen;
        if (hung_up_)
            states = 0; // no carrier over a closed connection
        else if (!lines_known_)
            states = kLineCts | kLineDsr | kLineCarrier; // nothing told: a line without them
        else
            states = lines_ & (kLineCts | kLineDsr | kLineRing | kLineCarrier);
        return 0;
    }

    int wait_event(std::uint32_t& word) override { return wait(word, -1); }

    int wait_event_for(std::uint32_t& word, std::uint32_t ms) override {
        return wait(word, static_cast<std::int64_t>(ms));
    }

protected:
    void end_wait() override {
        { std::lock_guard lock(mutex_); }
        cv_.notify_all();
    }

private:
    // A write, paced at the line's rate; with `listen`, bytes the server
    // sent end its wait for room or for the server's leave to go on
    // (`heard`).
    int put(const std::uint8_t* buffer, std::size_t n, bool listen, bool& heard) {
        heard = false;
        std::unique_lock lock(mutex_);
        const std::string device = device_;
        if (socket_ == net_os::kNoSocket) {
            lock.unlock();
            fail_closed(device);
            return 0;
        }
        const std::int64_t deadline = MonotonicMilliseconds() + write_timeout_ms_.load();
        const std::int64_t per_char = CharMicros(settings_);
        // Why the write ended short, unless the modem's answer ended it.
        std::string why = "the serial server took no more before the write time-out";
        DeviceFault fault = DeviceFault::Other;
        const auto answered = [&] { return listen && !input_.empty(); };
        std::size_t done = 0;
        while (done < n) {
            if (hung_up_) {
                why = closed_text();
                fault = DeviceFault::Closed;
                break;
            }
            const std::int64_t now = NowMicros();
            const std::int64_t queued = std::max<std::int64_t>(0, line_free_at_ - now);
            const auto capacity = static_cast<std::int64_t>(out_capacity_);
            const std::int64_t room = capacity - (queued + per_char - 1) / per_char;
            const std::int64_t want = std::min<std::int64_t>(
                static_cast<std::int64_t>(n - done), std::max<std::int64_t>(1, capacity / 2));
            if (!suspended_ && room >= want) {
                // Gone out, once the receive thread may see what answers it.
                sent_data_ = true;
                latest_.clear();
                lock.unlock();
                const bool sent =
                    send_data(buffer + done, static_cast<std::size_t>(want), deadline);
                lock.lock();
                if (!sent) {
                    why = "the serial server took no more before the write time-out, or the "
                          "connection failed";
                    break;
                }
                line_free_at_ = std::max(line_free_at_, NowMicros()) + want * per_char;
                done += static_cast<std::size_t>(want);
                continue;
            }
            // Until the line has room for the piece, the server lets it go
            // on or, listening, the modem speaks: its answer goes first, even
            // when room came at the same moment.
            if ((heard = answered())) break;
            const std::int64_t left = deadline - MonotonicMilliseconds();
            if (left <= 0) break;
            std::int64_t wait_ms = kSliceMs;
            if (!suspended_)
                wait_ms = (line_free_at_ - (capacity - want) * per_char - now + 999) / 1000;
            const std::int64_t slice =
                std::clamp<std::int64_t>(wait_ms, 1, std::min<std::int64_t>(left, kSliceMs));
            const std::int64_t asked = MonotonicMilliseconds();
            cv_.wait_for(lock, std::chrono::milliseconds(slice));
            if (socket_ == net_os::kNoSocket || stopping_) {
                lock.unlock();
                fail_closed(device);
                return -static_cast<int>(done);
            }
            if (MonotonicMilliseconds() - asked > slice + kSenderStallLimit.count()) {
                why = "the program stood still while the device waited for more";
                break;
            }
            if ((heard = answered())) break;
        }
        lock.unlock();
        if (done == n) return static_cast<int>(n);
        if (!heard) fail(kDevFailure, fault, device + ": " + why);
        return -static_cast<int>(done);
    }

    int wait(std::uint32_t& word, std::int64_t limit_ms) {
        word = 0;
        const std::int64_t deadline = MonotonicMilliseconds() + std::max<std::int64_t>(limit_ms, 0);
        std::unique_lock lock(mutex_);
        for (;;) {
            if (socket_ == net_os::kNoSocket) return -kDevNotOpen;
            word = pending_ & mask_;
            pending_ = 0;
            const auto generation = generation_.load();
            if (word != 0 || generation != seen_generation_) {
                seen_generation_ = generation;
                return 0;
            }
            if (limit_ms < 0) {
                cv_.wait(lock);
                continue;
            }
            const std::int64_t left = deadline - MonotonicMilliseconds();
            if (left <= 0) return 0;
            cv_.wait_for(lock, std::chrono::milliseconds(left));
        }
    }

    std::vector<std::uint8_t> negotiator_opening() {
        std::lock_guard lock(mutex_);
        return negotiator_.Opening();
    }

    // One COM-port command; nothing over socket://, which has no way to
    // carry it.
    int com_port(std::uint8_t command, std::vector<std::uint8_t> value) {
        if (!telnet_) return 0;
        std::vector<std::uint8_t> out;
        telnet::AppendComPortCommand(command, value, out);
        return send_bytes(out) ? 0 : -kDevFailure;
    }

    bool send_data(const std::uint8_t* bytes, std::size_t n, std::int64_t deadline) {
        if (!telnet_) return send_all(bytes, n, deadline);
        std::vector<std::uint8_t> out;
        out.reserve(n + n / 8);
        telnet::Escape(bytes, n, out);
        return send_all(out.data(), out.size(), deadline);
    }

    bool send_bytes(const std::vector<std::uint8_t>& bytes) {
        return send_all(bytes.data(), bytes.size(),
                        MonotonicMilliseconds() + write_timeout_ms_.load());
    }

    // Every byte, in order with the other senders', or false when the
    // connection failed or `deadline` passed.
    bool send_all(const std::uint8_t* bytes, std::size_t n, std::int64_t deadline) {
        std::lock_guard send_lock(send_mutex_);
        net_os::Socket s;
        {
            std::lock_guard lock(mutex_);
            s = socket_;
        }
        if (s == net_os::kNoSocket) return false;
        std::size_t done = 0;
        while (done < n) {
            const long put = net_os::SendSome(s, bytes + done, n - done);
            if (put > 0) {
                done += static_cast<std::size_t>(put);
                continue;
            }
            if (put < 0) return false;
            const std::int64_t left = deadline - MonotonicMilliseconds();
            if (left <= 0 || stopping_) return false;
            if (net_os::WaitReady(s, true, static_cast<int>(std::min<std::int64_t>(left, kSliceMs))) < 0)
                return false;
        }
        return true;
    }

    void receive_loop() {
        std::vector<std::uint8_t> chunk(4096), data, answers;
        std::vector<telnet::Event> events;
        const net_os::Socket s = socket_;
        while (!stopping_) {
            {
                // The caller reads slower than the server sends: the server waits.
                std::unique_lock lock(mutex_);
                cv_.wait(lock, [&] { return stopping_ || input_.size() < kInputLimit; });
                if (stopping_) break;
            }
            const int ready = net_os::WaitReady(s, false, kSliceMs);
            if (ready == 0) continue;
            const long got = ready < 0 ? -2 : net_os::ReceiveSome(s, chunk.data(), chunk.size());
            if (got == -1) continue;
            if (got <= 0) { // closed by the server, or broken
                hang_up();
                break;
            }
            data.clear();
            events.clear();
            answers.clear();
            std::unique_lock lock(mutex_);
            if (telnet_)
                parser_.Feed(chunk.data(), static_cast<std::size_t>(got), data, events);
            else
                data.assign(chunk.begin(), chunk.begin() + got);
            take_events(events, answers);
            if (!data.empty()) {
                input_.insert(input_.end(), data.begin(), data.end());
                Keep(opening_ || !sent_data_ ? early_ : latest_, data);
                pending_ |= kEvRxChar;
            }
            const bool broken = malformed_ >= kMalformedLimit;
            lock.unlock();
            cv_.notify_all();
            if (!answers.empty()) send_bytes(answers);
            if (broken) {
                hang_up();
                break;
            }
        }
    }

    // Under mutex_: what the server's commands change; the answers to send.
    void take_events(const std::vector<telnet::Event>& events, std::vector<std::uint8_t>& answers) {
        for (const auto& e : events) {
            switch (e.kind) {
            case telnet::Event::Kind::Negotiation:
                negotiator_.Answer(e.code, e.value, answers);
                break;
            case telnet::Event::Kind::Malformed:
                ++malformed_;
                break;
            case telnet::Event::Kind::ComPort:
                com_port_heard_ = true;
                if (e.code == telnet::kNotifyModemState) {
                    const std::uint8_t changed =
                        static_cast<std::uint8_t>((lines_known_ ? lines_ : 0xB0) ^ e.value);
                    if (changed & kLineCts) pending_ |= kEvCts;
                    if (changed & kLineDsr) pending_ |= kEvDsr;
                    if (changed & kLineCarrier) pending_ |= kEvCarrier;
                    if (changed & kLineRing)
                        pending_ |= (e.value & kLineRing) ? kEvRing : kEvRingTrailingEdge;
                    lines_ = e.value;
                    lines_known_ = true;
                } else if (e.code == telnet::kServerSuspend) {
                    suspended_ = true;
                } else if (e.code == telnet::kServerResume) {
                    suspended_ = false;
                }
                break;
            }
        }
    }

    // Under mutex_: why the connection closed. A server that closes before
    // the line's data went out, or with words of its own, has given the
    // connection to somebody else, or takes none: ser2net says "Port already
    // in use" to a second client of a raw port, and closes. Its words may
    // cross the line's first data on the way, or come after it: they are
    // what it sent before that data and after the last of it.
    std::string closed_text() const {
        std::vector<std::uint8_t> said = early_;
        said.push_back('\n');
        said.insert(said.end(), latest_.begin(), latest_.end());
        const std::string words = ServerWords(said);
        if (sent_data_ && words.empty()) return "the serial server closed the connection";
        return std::string("the serial server closed the connection") +
               (sent_data_ ? "" : " at once") +
               (words.empty() ? std::string() : " (\"" + words + "\")") +
               "; it may be in use by another client";
    }

    // The connection ended: reported once, as a device that went away. A
    // close by the server stays the device's fault (DeviceFault::Closed,
    // with why) for as long as it is open; it is told before the hang-up's
    // events, so that whoever they wake finds it.
    void hang_up() {
        {
            std::lock_guard lock(mutex_);
            hung_up_ = true;
            if (!stopping_) fail(kDevFailure, DeviceFault::Closed, device_ + ": " + closed_text());
            pending_ |= kEvRxChar | kEvCarrier;
        }
        cv_.notify_all();
    }

    // The first of the addresses that connects before `deadline`; kNoSocket
    // with the failure (of the last one tried) in `found` otherwise.
    static net_os::Socket connect_within(net_os::Resolution& found, std::int64_t deadline) {
        if (found.failure != net_os::ConnectFailure::None) return net_os::kNoSocket;
        found.failure = net_os::ConnectFailure::Timeout;
        for (const net_os::Address& address : found.addresses) {
            const std::int64_t left = deadline - MonotonicMilliseconds();
            if (left <= 0) break;
            const net_os::Socket s =
                net_os::connect_one(address, static_cast<int>(left), found.failure, found.text);
            if (s != net_os::kNoSocket) return s;
        }
        return net_os::kNoSocket;
    }

    int fail_connect(const std::string& device, const std::string& host,
                     const net_os::Resolution& found) {
        std::string reason;
        switch (found.failure) {
        case net_os::ConnectFailure::Refused:
            reason = "connection refused; check that the serial server runs and serves this port";
            break;
        case net_os::ConnectFailure::Timeout:
            reason = "the serial server did not answer within " +
                     std::to_string(kNetOpenLimit.count()) +
                     " ms; check the address and that the server runs";
            break;
        case net_os::ConnectFailure::Resolve:
            reason = "the host name " + host + " was not found (" + found.text +
                     "); check the name, or name the server by its address";
            break;
        case net_os::ConnectFailure::None:
        case net_os::ConnectFailure::Other:
            reason = found.text;
            break;
        }
        return fail(kDevNoSuchDevice, DeviceFault::Other, device + ": " + reason);
    }

    NetResolver resolver_;
    mutable std::mutex mutex_; // everything below but the settings of open
    std::condition_variable cv_;
    std::mutex send_mutex_;    // one sender at a time on the socket
    net_os::Socket socket_ = net_os::kNoSocket;
    std::thread reader_;
    std::string device_;
    bool telnet_ = false;
    std::atomic<bool> stopping_{false};
    bool hung_up_ = false;
    bool suspended_ = false; // the server asked us to stop sending
    bool lines_known_ = false;
    std::uint8_t lines_ = 0;
    bool com_port_heard_ = false; // the server sent a COM-port command
    bool opening_ = false;        // open() waits for the server
    bool sent_data_ = false;      // the line's data began to go out since the open
    int malformed_ = 0;
    std::deque<std::uint8_t> input_;
    // Data while opening, or before the line's data went out: the server's
    // words when it refuses the connection.
    std::vector<std::uint8_t> early_;
    std::vector<std::uint8_t> latest_; // data since the line's last data went out
    std::uint32_t pending_ = 0;       // events not yet given to wait_event()
    telnet::Parser parser_;
    telnet::Negotiator negotiator_;
    LineSettings settings_;
    std::size_t out_capacity_ = kDefaultOutQueue;
    std::int64_t line_free_at_ = 0; // when the paced line has sent all, in micros
};

} // namespace

bool IsNetworkPort(const std::string& device) {
    return StartsWith(device, kTelnetScheme) || StartsWith(device, kSocketScheme);
}

std::optional<NetPortName> ParseNetworkPort(const std::string& device) {
    NetPortName name;
    name.telnet = StartsWith(device, kTelnetScheme);
    if (!name.telnet && !StartsWith(device, kSocketScheme)) return std::nullopt;
    const std::string rest =
        device.substr(name.telnet ? kTelnetScheme.size() : kSocketScheme.size());
    std::size_t colon;
    if (!rest.empty() && rest[0] == '[') {
        const auto close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':')
            return std::nullopt;
        name.host = rest.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = rest.rfind(':');
        if (colon == std::string::npos) return std::nullopt;
        name.host = rest.substr(0, colon);
        if (name.host.find(':') != std::string::npos) return std::nullopt; // IPv6 needs brackets
    }
    name.port = rest.substr(colon + 1);
    if (name.host.empty() || name.port.empty() || name.port.size() > 5 ||
        !std::all_of(name.port.begin(), name.port.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
        return std::nullopt;
    const long number = std::stol(name.port);
    if (number < 1 || number > 65535) return std::nullopt;
    return name;
}

std::unique_ptr<SerialDevice> MakeNetworkSerialDevice(NetResolver resolver) {
    return std::make_unique<NetSerialDevice>(std::move(resolver));
}

} // namespace tollander::platform
