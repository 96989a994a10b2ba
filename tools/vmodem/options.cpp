#include "tools/vmodem/options.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tollander::vmodem {

namespace {

const char kHelp[] =
    R"(usage: tollander-vmodem [OPTION]...
A Tollander modem on a pseudo-terminal. The first line on stdout is the
device path; the modem answers on it until killed (or, with --once, until one
upgrade is over). Commands end with CR and are matched in any letter case;
answers end with CR LF. Values go as "--flag VALUE" or "--flag=VALUE".

The modem:
  --family TEXT        family text in the answer to ATI3 (default Tollander)
  --model TEXT         model line answered to ATI0 (default xx166301)
  --country NNN        three-digit country code answered to ATY14 (default 004)
  --no-echo            do not echo commands (ATE0/ATE1 switch it too)
  --boot-prompt        start at the boot prompt: AT is answered with "Boot>"
  --main-code STATE    main code the boot loader finds: fine, corrupt, missing
                       (default fine); ATGM at the prompt answers "Starting
                       Modem Code", "Modem Code Corrupt" or "Modem Code Missing"
  --rx-gap MS          the boot loader gives up on an upload after MS quiet
                       milliseconds: "No RX data timeout" (default 1500)
  --rate BPS           drain uploads at BPS bytes per second (11520 is a real
                       115200 bit/s line; default 0: as fast as they come)

Faults:
  --mute               no answer at all (no echo either)
  --not-family         ATI3 names another maker's modem
  --gload REPLY        to ATGLOAD7: ok, error ("ERROR") or silent
  --ati0 REPLY         to ATI0: ok, error or silent
  --prog REPLY         to AT{A}: ok, error or silent
  --verdict V          after an upload: auto (check every record), success,
                       timeout ("No RX data timeout") or none
  --after-upload LIST  ATGM answers after an upload, one per upload of an
                       upgrade, the last repeating: ok, starting, corrupt,
                       silent (counted again after the reset line).
                       Default: as the main code stands. An image with
                       data below 0xF0000 rewrites the main code: fine when
                       every record passed, corrupt when one failed or the
                       data stopped; an image only for the boot block (0xF0000
                       and up) leaves it as it was
  --hangup-after N     hang up (the device goes away) after N bytes of an
                       upload, then exit
  --random-case        answers in random letter case (--seed N to vary)
  --pieces N           send answers in pieces of N bytes ...
  --piece-delay MS     ... MS milliseconds apart (default 20)

Records:
  --expect FILE        compare each received image with FILE byte for byte;
                       give it twice for the boot and the main code image
                       (the n-th image of an upgrade against the n-th FILE,
                       the last one for the rest)
  --save DIR           keep each received image as DIR/image-N.hex (N counts
                       every image since the start)
  --log FILE           transcript as JSON lines: time in seconds, command,
                       answer, upload start and end, bytes, verdict
  --link PATH          make PATH a symlink to the device, removed on exit
  --once               exit when one upgrade is over: after the final
                       NVRAM and reset line, or when the line stays closed
                       for a second after the flash dialogue began
  -h, --help           this text

Exit status: 0 done, 1 a received image differed from --expect, 2 wrong
options or an unusable path, 3 the device failed.
)";

bool parse_long(const std::string& text, long min, long max, long& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < min || value > max) return false;
    out = value;
    return true;
}

bool parse_reply(const std::string& text, Reply& out) {
    if (text == "ok")
        out = Reply::Normal;
    else if (text == "error")
        out = Reply::Error;
    else if (text == "silent")
        out = Reply::Silent;
    else
        return false;
    return true;
}

bool parse_after_upload(const std::string& text, std::vector<AfterUpload>& out) {
    out.clear();
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        const std::string item = text.substr(start, comma - start);
        if (item == "ok")
            out.push_back(AfterUpload::Ok);
        else if (item == "starting")
            out.push_back(AfterUpload::Starting);
        else if (item == "corrupt")
            out.push_back(AfterUpload::Corrupt);
        else if (item == "silent")
            out.push_back(AfterUpload::Silent);
        else
            return false;
        start = comma + 1;
    }
    return !out.empty();
}

bool is_three_digits(const std::string& text) {
    if (text.size() != 3) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

} // namespace

const char* help_text() {
    return kHelp;
}

ParseResult parse_options(int argc, char** argv) {
    ParseResult result;
    Options& o = result.options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool has_inline_value = false;
        if (arg.rfind("--", 0) == 0) {
            const std::size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg.resize(eq);
                has_inline_value = true;
            }
        }
        auto flag = [&]() {
            if (has_inline_value) result.error = "option " + arg + " takes no value";
            return result.error.empty();
        };
        auto take = [&]() {
            if (has_inline_value) return true;
            if (i + 1 >= argc) {
                result.error = "option " + arg + " needs a value";
                return false;
            }
            value = argv[++i];
            return true;
        };
        auto bad = [&](const char* what) {
            result.error = "bad value '" + value + "' for " + arg + " (" + what + ")";
        };
        long number = 0;

        if (arg == "-h" || arg == "--help") {
            if (flag()) result.help = true;
        } else if (arg == "--family") {
            if (take()) o.family = value;
        } else if (arg == "--model") {
            if (take()) o.model = value;
        } else if (arg == "--country") {
            if (take()) {
                if (is_three_digits(value))
                    o.country = value;
                else
                    bad("three digits");
            }
        } else if (arg == "--no-echo") {
            if (flag()) o.echo = false;
        } else if (arg == "--boot-prompt") {
            if (flag()) o.boot_prompt = true;
        } else if (arg == "--main-code") {
            if (take()) {
                if (value == "fine")
                    o.main_code = MainCode::Fine;
                else if (value == "corrupt")
                    o.main_code = MainCode::Corrupt;
                else if (value == "missing")
                    o.main_code = MainCode::Missing;
                else
                    bad("fine, corrupt or missing");
            }
        } else if (arg == "--rx-gap") {
            if (take()) {
                if (parse_long(value, 1, 3600000, number))
                    o.rx_gap_ms = static_cast<int>(number);
                else
                    bad("milliseconds, 1 or more");
            }
        } else if (arg == "--rate") {
            if (take()) {
                if (parse_long(value, 0, 100000000, number))
                    o.rate = number;
                else
                    bad("bytes per second, 0 for no limit");
            }
        } else if (arg == "--mute") {
            if (flag()) o.mute = true;
        } else if (arg == "--not-family") {
            if (flag()) o.not_family = true;
        } else if (arg == "--gload" || arg == "--ati0" || arg == "--prog") {
            if (take()) {
                Reply& target = arg == "--gload" ? o.gload : arg == "--ati0" ? o.ati0 : o.prog;
                if (!parse_reply(value, target)) bad("ok, error or silent");
            }
        } else if (arg == "--verdict") {
            if (take()) {
                if (value == "auto")
                    o.verdict = Verdict::Auto;
                else if (value == "success")
                    o.verdict = Verdict::Success;
                else if (value == "timeout")
                    o.verdict = Verdict::Timeout;
                else if (value == "none")
                    o.verdict = Verdict::None;
                else
                    bad("auto, success, timeout or none");
            }
        } else if (arg == "--after-upload") {
            if (take() && !parse_after_upload(value, o.after_upload))
                bad("comma-separated ok, starting, corrupt, silent");
        } else if (arg == "--hangup-after") {
            if (take()) {
                if (parse_long(value, 0, 1L << 40, number))
                    o.hangup_after = number;
                else
                    bad("a byte count");
            }
        } else if (arg == "--random-case") {
            if (flag()) o.random_case = true;
        } else if (arg == "--seed") {
            if (take()) {
                if (parse_long(value, 0, 0xffffffffL, number))
                    o.seed = static_cast<std::uint32_t>(number);
                else
                    bad("a number");
            }
        } else if (arg == "--pieces") {
            if (take()) {
                if (parse_long(value, 1, 4096, number))
                    o.pieces = static_cast<int>(number);
                else
                    bad("bytes, 1 or more");
            }
        } else if (arg == "--piece-delay") {
            if (take()) {
                if (parse_long(value, 0, 60000, number))
                    o.piece_delay_ms = static_cast<int>(number);
                else
                    bad("milliseconds");
            }
        } else if (arg == "--expect") {
            if (take()) o.expect.push_back(value);
        } else if (arg == "--save") {
            if (take()) o.save_dir = value;
        } else if (arg == "--log") {
            if (take()) o.log_path = value;
        } else if (arg == "--link") {
            if (take()) o.link_path = value;
        } else if (arg == "--once") {
            if (flag()) o.once = true;
        } else {
            result.error = "unknown option '" + arg + "'";
        }
        if (!result.error.empty()) return result;
    }
    return result;
}

std::string check_paths(const Options& o) {
    for (const std::string& file : o.expect) {
        const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        const bool ok = fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
        if (fd >= 0) ::close(fd);
        if (!ok) return "--expect: cannot read the file '" + file + "'";
    }
    if (!o.save_dir.empty()) {
        if (::mkdir(o.save_dir.c_str(), 0755) != 0 && errno != EEXIST)
            return "--save: cannot create the directory '" + o.save_dir + "'";
        struct stat st {};
        if (::stat(o.save_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
            ::access(o.save_dir.c_str(), W_OK | X_OK) != 0)
            return "--save: '" + o.save_dir + "' is not a writable directory";
    }
    if (!o.link_path.empty()) {
        struct stat st {};
        if (::lstat(o.link_path.c_str(), &st) == 0) {
            // A link left behind by a killed run may be replaced; nothing else.
            char target[256] = {};
            const ssize_t n = S_ISLNK(st.st_mode)
                                  ? ::readlink(o.link_path.c_str(), target, sizeof target - 1)
                                  : -1;
            if (n < 0 ||
                std::string(target, static_cast<std::size_t>(n)).rfind("/dev/pts/", 0) != 0)
                return "--link: '" + o.link_path + "' exists and is not an old device link";
        }
    }
    return {};
}

} // namespace tollander::vmodem
