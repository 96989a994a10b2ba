// The running program's own file, from the operating system rather than from
// the command line (which may name a link, a relative path or nothing).
#pragma once

#include "platform/fs/files.h"

#include <memory>
#include <string>

namespace tollander::platform {

// Absolute path of the running executable; "/proc/self/exe" itself when the
// link cannot be read (it still opens the right file).
std::string SelfPath();

// The program's own file, opened once at start-up and held open to the end
// of the run (File::OpenHeld): what it carries is read from this open file
// only, never through the name again, so a file renamed, replaced or deleted
// under that name while the program runs changes nothing it reads.
struct SelfFile {
    std::string path; // SelfPath(), to name it
    std::shared_ptr<File> file;
};
SelfFile OpenSelf();

} // namespace tollander::platform
