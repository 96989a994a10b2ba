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

inline constexpr int kProbeFile = 0;
inline constexpr int kProbeDirectory = 1;
inline constexpr int kProbeMissing = 2; // the file or a directory of its path
// What is at `path` (links followed): one of the above, or a negated
// DOS-style code.
int Probe(const std::string& path);

} // namespace tollander::platform::files_os
