#include "tools/vmodem/options.h"

#include "platform/command_line.h"
#include "platform/fs/tool_files.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <initializer_list>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

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
  --give-up-after N[:SAYS]  the boot loader gives an upload up after N bytes:
                       it answers timeout ("No RX data timeout", the
                       default), error ("ERROR") or prompt ("Boot>") and
                       reads what follows at its prompt
  --hold MS            with --give-up-after: from byte N on the modem takes
                       nothing (as a modem holding CTS low) for MS
                       milliseconds, gives up, and takes nothing for MS more;
                       what the line then holds is dropped, so only what came
                       after the answer reaches the prompt
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
  --log FILE           transcript as JSON lines: time in seconds since the
                       start, ms (the monotonic clock in milliseconds),
                       command, answer, upload start and end, bytes, verdict
  --link PATH          make PATH a symlink to the device, removed on exit
  --once               exit when one upgrade is over: when the port is
                       closed after the final NVRAM and reset line, or when
                       it stays closed for a second after the flash
                       dialogue began
  -h, --help           this text
  --version            the program's version

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

// The value a word names, from a table of (word, value).
template <class T>
bool pick(const std::string& text, std::initializer_list<std::pair<const char*, T>> names, T& out) {
    for (const auto& [name, value] : names) {
        if (text == name) {
            out = value;
            return true;
        }
    }
    return false;
}

bool parse_reply(const std::string& text, Reply& out) {
    return pick<Reply>(
        text, {{"ok", Reply::Normal}, {"error", Reply::Error}, {"silent", Reply::Silent}}, out);
}

bool parse_after_upload(const std::string& text, std::vector<AfterUpload>& out) {
    out.clear();
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        AfterUpload item{};
        if (!pick<AfterUpload>(text.substr(start, comma - start),
                               {{"ok", AfterUpload::Ok},
                                {"starting", AfterUpload::Starting},
                                {"corrupt", AfterUpload::Corrupt},
                                {"silent", AfterUpload::Silent}},
                               item)) {
            return false;
        }
        out.push_back(item);
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

// "image-N.hex", a name --save gives the images it keeps.
bool is_saved_image_name(const std::string& path) {
    const std::string name = path.substr(path.rfind('/') + 1);
    const std::string prefix = "image-", suffix = ".hex";
    if (name.size() <= prefix.size() + suffix.size() || name.rfind(prefix, 0) != 0 ||
        !name.ends_with(suffix))
        return false;
    return std::all_of(name.begin() + prefix.size(), name.end() - suffix.size(),
                       [](char c) { return c >= '0' && c <= '9'; });
}

std::string directory_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

namespace {

platform::CommandLine command_line() {
    return platform::CommandLine("tollander-vmodem", kHelp);
}

// A handler for an option whose value `parse` converts; `what` says what it
// takes when it does not.
std::function<void(const std::string&)> checked(const char* option, const char* what,
                                                std::function<bool(const std::string&)> parse) {
    return [=](const std::string& value) {
        if (!parse(value)) {
            throw platform::UsageError("bad value '" + value + "' for --" + option + " (" + what +
                                       ")");
        }
    };
}

std::function<void(const std::string&)> number(const char* option, const char* what, long min,
                                               long max, std::function<void(long)> store) {
    return checked(option, what, [=](const std::string& value) {
        long n = 0;
        if (!parse_long(value, min, max, n)) return false;
        store(n);
        return true;
    });
}

std::function<void(const std::string&)> reply(const char* option, Reply& target) {
    return checked(option, "ok, error or silent",
                   [&target](const std::string& v) { return parse_reply(v, target); });
}

} // namespace

std::optional<int> parse_options(int argc, char** argv, Options& o) {
    platform::CommandLine cl = command_line();
    cl.Value("family", 0, o.family)
        .Value("model", 0, o.model)
        .Value("country", 0,
               checked("country", "three digits",
                       [&](const std::string& v) {
                           if (!is_three_digits(v)) return false;
                           o.country = v;
                           return true;
                       }))
        .Flag("no-echo", 0, [&] { o.echo = false; })
        .Flag("boot-prompt", 0, o.boot_prompt)
        .Value("main-code", 0,
               checked("main-code", "fine, corrupt or missing",
                       [&](const std::string& v) {
                           return pick<MainCode>(v,
                                                 {{"fine", MainCode::Fine},
                                                  {"corrupt", MainCode::Corrupt},
                                                  {"missing", MainCode::Missing}},
                                                 o.main_code);
                       }))
        .Value("rx-gap", 0,
               number("rx-gap", "milliseconds, 1 or more", 1, 3600000,
                      [&](long n) { o.rx_gap_ms = static_cast<int>(n); }))
        .Value("rate", 0,
               number("rate", "bytes per second, 0 for no limit", 0, 100000000,
                      [&](long n) { o.rate = n; }))
        .Flag("mute", 0, o.mute)
        .Flag("not-family", 0, o.not_family)
        .Value("gload", 0, reply("gload", o.gload))
        .Value("ati0", 0, reply("ati0", o.ati0))
        .Value("prog", 0, reply("prog", o.prog))
        .Value("verdict", 0,
               checked("verdict", "auto, success, timeout or none",
                       [&](const std::string& v) {
                           return pick<Verdict>(v,
                                                {{"auto", Verdict::Auto},
                                                 {"success", Verdict::Success},
                                                 {"timeout", Verdict::Timeout},
                                                 {"none", Verdict::None}},
                                                o.verdict);
                       }))
        .Value("after-upload", 0,
               checked("after-upload", "comma-separated ok, starting, corrupt, silent",
                       [&](const std::string& v) { return parse_after_upload(v, o.after_upload); }))
        .Value("hangup-after", 0,
               number("hangup-after", "a byte count", 0, 1L << 40,
                      [&](long n) { o.hangup_after = n; }))
        .Value("give-up-after", 0,
               checked("give-up-after", "a byte count, then :timeout, :error or :prompt",
                       [&](const std::string& v) {
                           const std::size_t colon = v.find(':');
                           long n = 0;
                           if (!parse_long(v.substr(0, colon), 1, 1L << 40, n)) return false;
                           o.give_up_after = n;
                           return colon == std::string::npos ||
                                  pick<GiveUp>(v.substr(colon + 1),
                                               {{"timeout", GiveUp::Timeout},
                                                {"error", GiveUp::Error},
                                                {"prompt", GiveUp::Prompt}},
                                               o.give_up_says);
                       }))
        .Value("hold", 0,
               number("hold", "milliseconds", 1, 60000,
                      [&](long n) { o.hold_ms = static_cast<int>(n); }))
        .Flag("random-case", 0, o.random_case)
        .Value("seed", 0,
               number("seed", "a number", 0, 0xffffffffL,
                      [&](long n) { o.seed = static_cast<std::uint32_t>(n); }))
        .Value("pieces", 0,
               number("pieces", "bytes, 1 or more", 1, 4096,
                      [&](long n) { o.pieces = static_cast<int>(n); }))
        .Value("piece-delay", 0,
               number("piece-delay", "milliseconds", 0, 60000,
                      [&](long n) { o.piece_delay_ms = static_cast<int>(n); }))
        .Value("expect", 0, [&](const std::string& v) { o.expect.push_back(v); })
        .Value("save", 0, o.save_dir)
        .Value("log", 0, o.log_path)
        .Value("link", 0, o.link_path)
        .Flag("once", 0, o.once);
    if (const auto status = cl.Parse(argc, argv)) return status;
    if (!cl.Operands().empty()) {
        return cl.UsageFailure("unexpected argument '" + cl.Operands()[0] + "'");
    }
    return std::nullopt;
}

int usage_error(const std::string& text) {
    return command_line().UsageFailure(text);
}

std::string check_paths(const Options& o) {
    for (const std::string& file : o.expect) {
        // Looked at before it is opened: a FIFO would wait for a writer.
        try {
            const platform::File readable = platform::File::OpenInput(file);
        } catch (const std::exception& e) {
            std::string why = e.what();
            if (why.rfind(file + ": ", 0) == 0) why.erase(0, file.size() + 2);
            return "--expect: cannot read the file '" + file + "': " + why;
        }
        // The images are read before the log is opened and the first image
        // saved; neither may write over them.
        if (!o.log_path.empty() && platform::SameFile(o.log_path, file))
            return "--log: '" + o.log_path + "' is the --expect file '" + file +
                   "'; log to another file";
        const bool saved_over =
            !o.save_dir.empty() &&
            (platform::SameFile(o.save_dir, file) ||
             (is_saved_image_name(file) && platform::SameFile(o.save_dir, directory_of(file))));
        if (saved_over)
            return "--save: '" + o.save_dir + "' would write over the --expect file '" + file +
                   "'; save to another directory";
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
