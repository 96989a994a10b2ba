// Whether a terminal device is the one this program runs in: "/dev/tty",
// its controlling terminal, or the terminal of its standard input, output or
// error. Such a device is never a modem's port: opening it as one would send
// commands into the user's session and leave it raw. Asked by device number,
// so that the port listing (without opening) and the serial device (before
// it writes or sets anything) refuse the same devices.
#pragma once

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <unistd.h>

namespace tollander::platform {

// The controlling terminal's device number from /proc/self/stat (its 7th
// field, after the command name in parentheses); 0 when there is none.
inline dev_t ControllingTerminal() {
    std::ifstream in("/proc/self/stat");
    std::string stat;
    std::getline(in, stat);
    const auto paren = stat.rfind(')');
    if (paren == std::string::npos) return 0;
    std::istringstream fields(stat.substr(paren + 1));
    std::string state;
    long parent = 0, group = 0, session = 0;
    long long number = 0; // printed as a signed int
    if (!(fields >> state >> parent >> group >> session >> number)) return 0;
    const auto tty = static_cast<std::uint32_t>(number);
    // The kernel's packing: minor bits 0-7 and 20-31, major bits 8-19.
    return tty == 0 ? 0 : makedev((tty >> 8) & 0xfff, (tty & 0xff) | ((tty >> 12) & 0xfff00));
}

inline bool IsOwnTerminal(dev_t device) {
    if (device == makedev(5, 0)) return true; // /dev/tty: whoever opens it gets their own
    if (const dev_t own = ControllingTerminal(); own != 0 && device == own) return true;
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        struct stat st {};
        if (::isatty(fd) && ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == device)
            return true;
    }
    return false;
}

} // namespace tollander::platform
