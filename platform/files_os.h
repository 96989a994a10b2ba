// What the portable half of files.h (files.cpp) needs from the system; one
// implementation per system (files_posix.cpp).
#pragma once

#include <string>

namespace tollander::platform::files_os {

// A real directory (not a link to one) of this user's.
bool IsOurDirectory(const std::string& path);

} // namespace tollander::platform::files_os
