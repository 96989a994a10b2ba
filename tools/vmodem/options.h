// Command-line settings of tollander-vmodem: what the modem says, which
// faults it plays, and where it keeps what it received.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tollander::vmodem {

// How the modem reacts to one particular command.
enum class Reply { Normal, Error, Silent };

// The main code the boot loader finds when asked to start it.
enum class MainCode { Fine, Corrupt, Missing };

// What the boot loader says after an upload.
enum class Verdict { Auto, Success, Timeout, None };

// What the boot loader says when it gives an upload up half-way.
enum class GiveUp { Timeout, Error, Prompt };

// Answer to "ATGM" once an image has been uploaded.
enum class AfterUpload { Ok, Starting, Corrupt, Silent };

struct Options {
    std::string family = "Tollander";
    std::string model = "xx166301";
    std::string country = "004";
    bool echo = true;
    bool boot_prompt = false;
    MainCode main_code = MainCode::Fine;
    int rx_gap_ms = 1500;
    long rate = 0; // bytes per second drained during an upload; 0: as fast as it comes

    bool mute = false;
    bool not_family = false;
    Reply gload = Reply::Normal;
    Reply ati0 = Reply::Normal;
    Reply prog = Reply::Normal;
    Verdict verdict = Verdict::Auto;
    std::vector<AfterUpload> after_upload; // n-th entry for the n-th upload, the last repeats
    std::optional<long> hangup_after;
    std::optional<long> give_up_after; // bytes of an upload
    GiveUp give_up_says = GiveUp::Timeout;
    int hold_ms = 0; // with give_up_after: CTS held low before and after the answer
    bool random_case = false;
    std::uint32_t seed = 1;
    int pieces = 0; // answer piece size in bytes; 0: whole answers
    int piece_delay_ms = 20;

    std::vector<std::string> expect;
    std::string save_dir;
    std::string log_path;
    std::string link_path;
    bool once = false;
};

// Fills `options` from the command line. Returns nothing when the modem
// should start, else the exit status: 0 after --help or --version, 2 after
// a usage error (already printed).
std::optional<int> parse_options(int argc, char** argv, Options& options);

// Prints a usage error in the house form and returns its exit status, 2.
int usage_error(const std::string& text);

// Checks the paths named on the command line (readable images, a usable save
// directory, a writable log, a free link path) and prepares the save
// directory. Returns an error text, or an empty string.
std::string check_paths(const Options& options);

} // namespace tollander::vmodem
