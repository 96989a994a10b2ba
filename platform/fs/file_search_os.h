// What the portable file search (file_search.cpp) needs from the system; one
// implementation per system (file_search_posix.cpp).
#pragma once

#include <functional>
#include <string>

namespace tollander::platform::file_search_os {

// The characters that make a mask's last part a pattern.
extern const char* const kWildcards;

bool IsDirectory(const std::string& path);

inline constexpr int kProbeFile = 0;
inline constexpr int kProbeDirectory = 1;
inline constexpr int kProbeMissing = 2; // the file or a directory of its path
// What is at `path`: one of the above, or a negated DOS-style code.
int Probe(const std::string& path);

// Calls each(name) for every file (not a directory) of `directory` whose name
// matches `pattern` ("*.*" for every file); `mask` is prefix and pattern
// together. 0, kSearchNoDirectory, kSearchNoMatch or a negated DOS-style code.
int ForEachFile(const std::string& directory, const std::string& pattern,
                const std::string& mask, const std::function<void(std::string)>& each);

} // namespace tollander::platform::file_search_os
