// What the portable half of files.h (files.cpp) needs from the system; one
// implementation per system (files_posix.cpp).
#pragma once

#include <cstddef>
#include <string>

namespace tollander::platform::files_os {

// A real directory (not a link to one) of this user's.
bool IsOurDirectory(const std::string& path);

// Writes up to n bytes to fd: the count, or -1 with errno set.
long WriteSome(int fd, const void* buffer, std::size_t n);

// Closes a descriptor whose close no one asks about (a destructor's).
void CloseFd(int fd);

} // namespace tollander::platform::files_os
