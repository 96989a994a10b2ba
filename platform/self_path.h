// The running program's own file, from the operating system rather than from
// the command line (which may name a link, a relative path or nothing).
#pragma once

#include <string>

namespace tollander::platform {

// Absolute path of the running executable; "/proc/self/exe" itself when the
// link cannot be read (it still opens the right file).
std::string SelfPath();

} // namespace tollander::platform
