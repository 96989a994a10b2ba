// Finding the file to send by a mask (it is read through File). Failures are
// the negative result codes the protocol reports (DOS-style numbers, so that
// -2, -3 and -5 keep their "file not found", "path not found" and "access
// denied" meanings on every platform).
#pragma once

#include <string>

namespace tollander::platform {

inline constexpr int kSearchNoMatch = -6003;
inline constexpr int kSearchNoDirectory = -6004;

struct FoundFile {
    std::string path; // the mask's directory part followed by the name
    std::string name; // as stored in the directory
};

// Whether `path` names a file, all of it taken as it is written: 0, or -2
// when it names a directory or nothing in a directory that exists,
// -6004 when that directory does not exist, another negative code for a
// failure.
int find_file(const std::string& path);

// The first file (not a directory) in the mask's directory whose name matches
// the mask's last part; hidden and read-only files count. The mask "*.*"
// stands for every file. With several matches the smallest name wins, so the
// choice does not depend on the directory's order.
// 0, or: -6004 the directory does not exist, -6003 no name matched, -2 a
// mask without wildcards names no file (find_file), another negative code
// for a failure.
int FindFirstMatch(const std::string& mask, FoundFile& found);

} // namespace tollander::platform
