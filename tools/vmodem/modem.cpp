#include "tools/vmodem/modem.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <limits>
#include <unistd.h>

namespace tollander::vmodem {

namespace {

using std::chrono::milliseconds;

constexpr std::size_t kMaxCommand = 250;
// How long the line end of the end-of-file record may take to follow it.
constexpr milliseconds kEndOfLineGrace{200};
// A flasher that closes the line and does not come back within this time
// has finished with the modem.
constexpr milliseconds kClosedLinger{1000};

const char kPrompt[] = "\r\nBoot>";
const char kOk[] = "\r\nOK\r\n";
const char kError[] = "\r\nERROR\r\n";
const char kSuccess[] = "Program was successful";
const char kRxTimeout[] = "No RX data timeout";
const char kErrorWord[] = "ERROR";
const char kPromptWord[] = "Boot>";

std::string upper(const std::string& text) {
    std::string out;
    for (unsigned char c : text)
        out += static_cast<char>(std::toupper(c));
    return out;
}

bool write_file(const std::string& path, const std::string& data) {
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return ::close(fd) == 0 && done == data.size();
}

} // namespace

Modem::Modem(const Options& options, std::vector<std::string> expected, EventLog& log, Time)
    : options_(options), expected_(std::move(expected)), log_(log),
      mode_(options.boot_prompt ? Mode::Boot : Mode::Command), echo_(options.echo),
      main_code_(options.main_code), random_(options.seed) {}

// ---------------------------------------------------------------- line rate

std::size_t Modem::budget(Time now) const {
    if (hung_up_ || held_since_ || (hold_until_ && now < *hold_until_)) return 0;
    std::size_t limit = std::numeric_limits<std::size_t>::max();
    if (mode_ != Mode::Upload) return limit;
    if (options_.hold_ms > 0 && options_.give_up_after) {
        // Byte N is the last it takes before it holds the line.
        const auto left = static_cast<std::size_t>(*options_.give_up_after);
        limit = left > upload_.bytes ? left - upload_.bytes : 0;
    }
    if (options_.hangup_after) {
        const auto left = static_cast<std::size_t>(*options_.hangup_after);
        limit = std::min(limit, left > upload_.bytes ? left - upload_.bytes : 0);
    }
    if (options_.rate > 0) {
        if (!upload_.first) return std::min<std::size_t>(limit, 1); // its arrival starts the clock
        // Byte k goes over the line k/rate seconds after the first one.
        const double elapsed = std::chrono::duration<double>(now - *upload_.first).count();
        const auto allowed = static_cast<std::size_t>(std::floor(elapsed * options_.rate)) + 1;
        limit = std::min(limit, allowed > upload_.bytes ? allowed - upload_.bytes : 0);
    }
    return limit;
}

Time Modem::quiet_since() const {
    Time from = upload_.last;
    if (options_.rate > 0 && upload_.first) {
        // Bytes held back by the line rate are not a silence of the sender.
        const auto held = std::chrono::duration<double>(static_cast<double>(upload_.bytes) /
                                                        static_cast<double>(options_.rate));
        from = std::max(from, *upload_.first + std::chrono::duration_cast<Clock::duration>(held));
    }
    return from;
}

Time Modem::upload_deadline() const {
    return quiet_since() +
           (upload_.end_record ? kEndOfLineGrace : milliseconds(options_.rx_gap_ms));
}

std::optional<Time> Modem::next_wakeup(Time now) const {
    std::optional<Time> next;
    auto consider = [&](Time t) {
        if (!next || t < *next) next = t;
    };
    if (held_since_) consider(*held_since_ + milliseconds(options_.hold_ms));
    if (hold_until_ && now < *hold_until_) consider(*hold_until_);
    if (mode_ == Mode::Upload && !hung_up_ && !held_since_) {
        consider(upload_deadline());
        if (options_.rate > 0 && upload_.first && budget(now) == 0) {
            // Wake when a few milliseconds' worth of bytes may be taken.
            const std::size_t chunk = std::max<long>(1, options_.rate / 200);
            const double at =
                static_cast<double>(upload_.bytes + chunk - 1) / static_cast<double>(options_.rate);
            consider(*upload_.first + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(at)));
        }
    }
    if (dialogue_started_ && open_count_ == 0 && closed_since_)
        consider(*closed_since_ + kClosedLinger);
    return next;
}

void Modem::tick(Time now) {
    if (hold_until_ && now >= *hold_until_) {
        // The modem takes again; what the line held meanwhile never came.
        hold_until_.reset();
        drop_line_ = true;
    }
    if (mode_ != Mode::Upload || hung_up_) return;
    if (held_since_) {
        if (now < *held_since_ + milliseconds(options_.hold_ms)) return;
        held_since_.reset();
        hold_until_ = now + milliseconds(options_.hold_ms);
        give_up(now);
        return;
    }
    if (now >= upload_deadline())
        finish_upload(now, upload_.end_record ? nullptr : "the data stopped");
}

// ---------------------------------------------------------------- the line

void Modem::line_opened(Time now) {
    ++open_count_;
    closed_since_.reset();
    log_.event("line_opened", now);
}

void Modem::line_closed(Time now) {
    if (open_count_ > 0) --open_count_;
    if (open_count_ > 0) return;
    closed_since_ = now;
    log_.event("line_closed", now);
}

bool Modem::upgrade_over(Time now) const {
    // Leaving hangs up the line, and a hang-up throws away what the far end
    // has not read yet: after the reset the modem stays until the flasher
    // has closed the port, so that it reads the answer in full.
    if (open_count_ > 0) return false;
    if (reset_done_) return true;
    return dialogue_started_ && closed_since_ && mode_ != Mode::Upload &&
           now >= *closed_since_ + kClosedLinger;
}

// ---------------------------------------------------------------- input

void Modem::receive(const std::uint8_t* data, std::size_t size, Time now) {
    for (std::size_t i = 0; i < size && !hung_up_; ++i) {
        if (mode_ == Mode::Upload)
            upload_byte(data[i], now);
        else
            command_byte(data[i], now);
    }
}

void Modem::command_byte(std::uint8_t c, Time now) {
    send_echo(c, now);
    // What comes after an upload and begins no command (the rest of an image
    // the boot loader gave up on) is counted.
    const std::size_t stray = mode_ == Mode::Boot && uploaded_at_prompt_ ? 1 : 0;
    switch (lexer_) {
    case Lexer::Idle:
        if (c == 'A' || c == 'a')
            lexer_ = Lexer::GotA;
        else
            stray_ += stray;
        break;
    case Lexer::GotA:
        if (c == 'T' || c == 't') {
            lexer_ = Lexer::Body;
            body_.clear();
            overflow_ = false;
        } else if (c != 'A' && c != 'a') {
            lexer_ = Lexer::Idle;
            stray_ += 2 * stray;
        } else {
            stray_ += stray;
        }
        break;
    case Lexer::Body:
        if (c == '\r') {
            lexer_ = Lexer::Idle;
            execute(body_, now);
        } else if (c == 8 || c == 127) {
            if (!body_.empty()) body_.pop_back();
        } else if (c > ' ' && c < 127) {
            // Spaces, line feeds and other controls are not part of a command.
            if (body_.size() < kMaxCommand)
                body_ += static_cast<char>(c);
            else
                overflow_ = true;
        }
        break;
    }
}

void Modem::execute(const std::string& command, Time now) {
    if (stray_ > 0) {
        log_.event("stray", now).number("bytes", static_cast<long long>(stray_));
        stray_ = 0;
    }
    log_.event("command", now)
        .text("text", "AT" + command)
        .text("mode", mode_ == Mode::Boot ? "boot" : "command");
    if (options_.mute) return;
    const std::string u = upper(command);
    if (overflow_)
        answer(mode_ == Mode::Boot ? kPrompt : kError, now);
    else if (mode_ == Mode::Boot)
        execute_boot_mode(u, now);
    else
        execute_command_mode(u, now);
}

bool Modem::chain_is_valid(const std::string& u, bool& reset, std::optional<bool>& echo) const {
    // Basic commands strung together, as in "&F1S0=0&W&F2S0=0&W1YZ".
    std::size_t i = 0;
    auto digits = [&]() {
        long value = 0;
        while (i < u.size() && std::isdigit(static_cast<unsigned char>(u[i])))
            value = value * 10 + (u[i++] - '0');
        return value;
    };
    while (i < u.size()) {
        const char c = u[i++];
        if (c == '&') {
            if (i >= u.size() || !std::isalpha(static_cast<unsigned char>(u[i]))) return false;
            ++i;
            digits();
        } else if (c == 'S') {
            if (i >= u.size() || !std::isdigit(static_cast<unsigned char>(u[i]))) return false;
            digits();
            if (i < u.size() && u[i] == '=') {
                ++i;
                digits();
            } else if (i < u.size() && u[i] == '?') {
                ++i;
            } else {
                return false;
            }
        } else if (std::isalpha(static_cast<unsigned char>(c))) {
            const long value = digits();
            if (c == 'Z') reset = true;
            if (c == 'E') echo = value != 0;
        } else {
            return false;
        }
    }
    return true;
}

void Modem::execute_command_mode(const std::string& u, Time now) {
    if (u.empty()) {
        answer(kOk, now);
    } else if (u == "I3") {
        const std::string line = options_.not_family ? std::string("Generic V.34 Data/Fax Modem")
                                                     : options_.family + " Data/Fax Modem";
        answer_lines({line}, true, now);
    } else if (u == "I0") {
        dialogue_started_ = true;
        if (options_.ati0 == Reply::Normal)
            answer_lines({options_.model}, true, now);
        else if (options_.ati0 == Reply::Error)
            answer(kError, now);
    } else if (u == "Y14") {
        dialogue_started_ = true;
        answer_lines({options_.country}, true, now);
    } else if (u == "GLOAD7") {
        dialogue_started_ = true;
        if (options_.gload == Reply::Normal) {
            mode_ = Mode::Boot;
            uploaded_at_prompt_ = false;
            answer(kPrompt, now);
        } else if (options_.gload == Reply::Error) {
            answer(kError, now);
        }
    } else if (u == "GM") {
        answer(kOk, now); // the main code is running already
    } else {
        bool reset = false;
        std::optional<bool> echo;
        if (!chain_is_valid(u, reset, echo)) {
            answer(kError, now);
            return;
        }
        if (echo) echo_ = *echo;
        answer(kOk, now);
        if (reset) this->reset(now);
    }
}

void Modem::execute_boot_mode(const std::string& u, Time now) {
    if (u == "I0") {
        dialogue_started_ = true;
        if (options_.ati0 == Reply::Normal)
            answer("\r\n" + options_.model + "\r\n", now);
        else if (options_.ati0 == Reply::Error)
            answer(kError, now);
    } else if (u == "Y14") {
        dialogue_started_ = true;
        answer("\r\n" + options_.country + "\r\n", now);
    } else if (u == "{A}") {
        dialogue_started_ = true;
        if (options_.prog == Reply::Normal) {
            answer("\r\nProg HEX\r\n", now);
            start_upload(now);
        } else if (options_.prog == Reply::Error) {
            answer(kError, now);
        }
    } else if (u == "GM") {
        answer_atgm(now);
    } else {
        if (u == "GLOAD7") dialogue_started_ = true;
        bool reset = false;
        std::optional<bool> echo;
        if (chain_is_valid(u, reset, echo) && echo) echo_ = *echo;
        if (reset) {
            answer(kOk, now);
            this->reset(now);
        } else {
            // The boot loader meets everything else with its prompt.
            answer(kPrompt, now);
        }
    }
}

void Modem::answer_atgm(Time now) {
    enum class Says { Starting, Corrupt, Missing, Ok, Silent } says = Says::Silent;
    if (uploaded_at_prompt_ && !options_.after_upload.empty()) {
        const std::size_t index =
            std::min<std::size_t>(static_cast<std::size_t>(std::max(uploads_in_upgrade_, 1) - 1),
                                  options_.after_upload.size() - 1);
        switch (options_.after_upload[index]) {
        case AfterUpload::Ok:
            says = Says::Ok;
            break;
        case AfterUpload::Starting:
            says = Says::Starting;
            break;
        case AfterUpload::Corrupt:
            says = Says::Corrupt;
            break;
        case AfterUpload::Silent:
            says = Says::Silent;
            break;
        }
    } else {
        says = main_code_ == MainCode::Fine      ? Says::Starting
               : main_code_ == MainCode::Corrupt ? Says::Corrupt
                                                 : Says::Missing;
    }
    switch (says) {
    case Says::Starting:
        answer("\r\nStarting Modem Code\r\n", now);
        mode_ = Mode::Command;
        break;
    case Says::Corrupt:
        answer("\r\nModem Code Corrupt\r\n", now);
        break;
    case Says::Missing:
        answer("\r\nModem Code Missing\r\n", now);
        break;
    case Says::Ok:
        answer(kOk, now);
        mode_ = Mode::Command;
        break;
    case Says::Silent:
        break;
    }
}

void Modem::reset(Time now) {
    reset_done_ = true;
    uploads_in_upgrade_ = 0;
    uploaded_at_prompt_ = false;
    echo_ = options_.echo;
    lexer_ = Lexer::Idle;
    // A modem without working main code comes back at its boot prompt.
    mode_ = main_code_ == MainCode::Fine ? Mode::Command : Mode::Boot;
    log_.event("reset", now).text("mode", mode_ == Mode::Boot ? "boot" : "command");
}

// ---------------------------------------------------------------- upload

void Modem::start_upload(Time now) {
    mode_ = Mode::Upload;
    upload_ = Upload{};
    upload_.announced = now;
    upload_.last = now;
    log_.event("upload_start", now);
    if (options_.hangup_after && *options_.hangup_after == 0) {
        hung_up_ = true;
        log_.event("hangup", now).number("bytes", 0);
    }
}

void Modem::upload_byte(std::uint8_t c, Time now) {
    if (!upload_.first) upload_.first = now;
    if (upload_.end_record) {
        // Only the line end of the end-of-file record still belongs to the image.
        const bool line_end = c == '\n' || (c == '\r' && !upload_.end_cr);
        if (!line_end) {
            finish_upload(now, nullptr);
            command_byte(c, now);
            return;
        }
    }
    upload_.image += static_cast<char>(c);
    ++upload_.bytes;
    upload_.last = now;
    if (upload_.end_record) {
        if (c == '\r')
            upload_.end_cr = true;
        else
            finish_upload(now, nullptr);
    } else {
        switch (upload_.hex.feed(c)) {
        case HexChecker::Step::EndOfFile:
            upload_.end_record = true;
            break;
        case HexChecker::Step::Bad:
            log_.event("upload_fault", now)
                .number("offset", static_cast<long long>(upload_.bytes - 1))
                .text("fault", upload_.hex.error());
            break;
        case HexChecker::Step::More:
            break;
        }
    }
    if (mode_ == Mode::Upload && options_.give_up_after &&
        upload_.bytes >= static_cast<std::size_t>(*options_.give_up_after)) {
        if (options_.hold_ms > 0) {
            held_since_ = now;
            log_.event("hold", now).number("bytes", static_cast<long long>(upload_.bytes));
        } else {
            give_up(now);
        }
        return;
    }
    if (mode_ == Mode::Upload && options_.hangup_after &&
        upload_.bytes >= static_cast<std::size_t>(*options_.hangup_after)) {
        hung_up_ = true;
        log_.event("hangup", now).number("bytes", static_cast<long long>(upload_.bytes));
    }
}

void Modem::give_up(Time now) {
    const char* says = options_.give_up_says == GiveUp::Error    ? kErrorWord
                       : options_.give_up_says == GiveUp::Prompt ? kPromptWord
                                                                 : kRxTimeout;
    finish_upload(now, "the boot loader gave up", says);
}

void Modem::finish_upload(Time now, const char* why, const char* says) {
    const bool good = upload_.end_record && !upload_.hex.failed();
    std::string fault;
    if (upload_.hex.failed())
        fault = upload_.hex.error();
    else if (!upload_.end_record)
        fault = why ? why : "no end-of-file record";
    if (upload_.hex.writes_main_code()) main_code_ = good ? MainCode::Fine : MainCode::Corrupt;

    mode_ = Mode::Boot;
    uploaded_at_prompt_ = true;
    ++uploads_in_upgrade_;

    std::string expect;
    if (!expected_.empty()) {
        const std::size_t index = std::min<std::size_t>(
            static_cast<std::size_t>(uploads_in_upgrade_ - 1), expected_.size() - 1);
        const std::string& want = expected_[index];
        if (upload_.image == want) {
            expect = "match";
        } else {
            expect = "mismatch";
            mismatch_ = true;
            const auto diff =
                std::mismatch(upload_.image.begin(), upload_.image.end(), want.begin(), want.end());
            std::fprintf(stderr,
                         "tollander-vmodem: image %d (%zu bytes) differs from --expect file %zu "
                         "(%zu bytes) at byte %zu\n",
                         uploads_in_upgrade_, upload_.image.size(), index + 1, want.size(),
                         static_cast<std::size_t>(diff.first - upload_.image.begin()));
        }
    }
    std::string saved;
    if (!options_.save_dir.empty()) {
        saved = options_.save_dir + "/image-" + std::to_string(++images_saved_) + ".hex";
        if (!write_file(saved, upload_.image)) {
            std::fprintf(stderr, "tollander-vmodem: cannot write %s\n", saved.c_str());
            saved.clear();
        }
    }

    const char* verdict = nullptr;
    switch (options_.verdict) {
    case Verdict::Auto:
        verdict = good ? kSuccess : kRxTimeout;
        break;
    case Verdict::Success:
        verdict = kSuccess;
        break;
    case Verdict::Timeout:
        verdict = kRxTimeout;
        break;
    case Verdict::None:
        break;
    }
    if (says) verdict = says;

    {
        auto line = log_.event("upload_end", now);
        line.number("bytes", static_cast<long long>(upload_.bytes))
            .number("records", static_cast<long long>(upload_.hex.records()))
            .flag("good", good)
            .text("verdict", verdict ? verdict : "");
        if (upload_.first)
            line.seconds("first_byte", *upload_.first).seconds("last_byte", upload_.last);
        if (!fault.empty()) line.text("fault", fault);
        if (!expect.empty()) line.text("expect", expect);
        if (!saved.empty()) line.text("saved", saved);
        line.text("main_code", main_code_ == MainCode::Fine      ? "fine"
                               : main_code_ == MainCode::Corrupt ? "corrupt"
                                                                 : "missing");
    }
    if (verdict) answer(std::string("\r\n") + verdict + "\r\n", now);
}

// ---------------------------------------------------------------- output

void Modem::send_echo(std::uint8_t c, Time now) {
    if (options_.mute || !echo_) return;
    if (!output_.empty() && output_.back().due <= now)
        output_.back().bytes += static_cast<char>(c);
    else
        output_.push_back({output_.empty() ? now : std::max(now, output_.back().due),
                           std::string(1, static_cast<char>(c))});
}

void Modem::answer(std::string text, Time now) {
    if (options_.mute) return;
    if (options_.random_case) {
        for (char& c : text) {
            if (!std::isalpha(static_cast<unsigned char>(c)) || (random_() & 1) == 0) continue;
            c = static_cast<char>(std::isupper(static_cast<unsigned char>(c))
                                      ? std::tolower(static_cast<unsigned char>(c))
                                      : std::toupper(static_cast<unsigned char>(c)));
        }
    }
    Time due = output_.empty() ? now : std::max(now, output_.back().due);
    if (options_.pieces > 0) {
        const auto size = static_cast<std::size_t>(options_.pieces);
        const std::size_t count = (text.size() + size - 1) / size;
        log_.event("answer", now)
            .text("text", text)
            .number("pieces", static_cast<long long>(count));
        for (std::size_t at = 0; at < text.size(); at += size) {
            output_.push_back({due, text.substr(at, size)});
            due += milliseconds(options_.piece_delay_ms);
        }
        return;
    }
    log_.event("answer", now).text("text", text);
    output_.push_back({due, std::move(text)});
}

void Modem::answer_lines(const std::vector<std::string>& lines, bool ok, Time now) {
    std::string text;
    for (const std::string& line : lines)
        text += "\r\n" + line + "\r\n";
    if (ok) text += kOk;
    answer(text, now);
}

} // namespace tollander::vmodem
