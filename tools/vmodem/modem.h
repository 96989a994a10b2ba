// The modem itself, free of any device: bytes in, answers out (each with
// the time it is due), timers asked for and served. The program around it
// moves the bytes between this object and the pseudo-terminal.
#pragma once

#include "tools/vmodem/event_log.h"
#include "tools/vmodem/hex_checker.h"
#include "tools/vmodem/options.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace tollander::vmodem {

struct Output {
    Time due;
    std::string bytes;
};

class Modem {
public:
    // `expected` holds the contents of the --expect files, in order.
    Modem(const Options& options, std::vector<std::string> expected, EventLog& log, Time now);

    // Bytes the modem takes now: unlimited except while it drains an upload
    // at its line rate or is about to hang up.
    std::size_t budget(Time now) const;
    void receive(const std::uint8_t* data, std::size_t size, Time now);
    // Serves whatever timer is due.
    void tick(Time now);
    // Earliest moment at which tick() or budget() would change anything.
    std::optional<Time> next_wakeup(Time now) const;

    // The far end opened or closed the line (counted by the caller).
    void line_opened(Time now);
    void line_closed(Time now);
    bool line_open() const { return open_count_ > 0; }

    std::deque<Output>& output() { return output_; }

    bool hung_up() const { return hung_up_; }
    // True once when the line's held bytes are to be dropped (--hold).
    bool take_line_drop() { return std::exchange(drop_line_, false); }
    // One upgrade is over (for --once).
    bool upgrade_over(Time now) const;
    bool image_mismatch() const { return mismatch_; }

private:
    enum class Mode { Command, Boot, Upload };
    enum class Lexer { Idle, GotA, Body };

    struct Upload {
        Time announced{};
        std::optional<Time> first;
        Time last{};
        std::size_t bytes = 0;
        std::string image;
        HexChecker hex;
        bool end_record = false; // the end-of-file record is complete
        bool end_cr = false;     // ... and its CR arrived
    };

    void command_byte(std::uint8_t c, Time now);
    void execute(const std::string& command, Time now);
    void execute_command_mode(const std::string& command, Time now);
    void execute_boot_mode(const std::string& command, Time now);
    bool chain_is_valid(const std::string& command, bool& reset, std::optional<bool>& echo) const;
    void answer_atgm(Time now);
    void start_upload(Time now);
    void upload_byte(std::uint8_t c, Time now);
    // `says`, when set, is said in place of the verdict.
    void finish_upload(Time now, const char* why, const char* says = nullptr);
    // --give-up-after: ends the upload with its word.
    void give_up(Time now);
    void reset(Time now);

    void send_echo(std::uint8_t c, Time now);
    void answer(std::string text, Time now);
    void answer_lines(const std::vector<std::string>& lines, bool ok, Time now);

    // Since when the sender has been quiet, and when the upload ends for it.
    Time quiet_since() const;
    Time upload_deadline() const;

    Options options_;
    std::vector<std::string> expected_;
    EventLog& log_;

    Mode mode_;
    bool echo_;
    MainCode main_code_;
    Lexer lexer_ = Lexer::Idle;
    std::string body_;
    bool overflow_ = false;

    Upload upload_;
    bool uploaded_at_prompt_ = false; // an upload ended since the boot prompt came up
    // Bytes at the prompt, since an upload ended, that are part of no command.
    std::size_t stray_ = 0;
    int uploads_in_upgrade_ = 0;
    int images_saved_ = 0;
    bool mismatch_ = false;
    bool hung_up_ = false;
    // --hold: since when the upload is held, and until when the modem takes
    // nothing after its answer.
    std::optional<Time> held_since_;
    std::optional<Time> hold_until_;
    bool drop_line_ = false;

    int open_count_ = 0;
    std::optional<Time> closed_since_;
    bool dialogue_started_ = false;
    bool reset_done_ = false;

    std::mt19937 random_;
    std::deque<Output> output_;
};

} // namespace tollander::vmodem
