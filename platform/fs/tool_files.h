// Files as the command-line tools see them: an input is a regular file,
// opened once (File::OpenInput) and then used through what was opened; an
// output is written under a fresh name of its own beside its target
// (File::CreateReplacement, written here) and renamed over the target only
// when complete, so a failed run leaves the target as it was and no partial
// file, and never writes through a link or into someone else's file. Here:
// what a name stands for before anything is opened, and the clean-up of an
// unfinished output on a signal.
#pragma once

#include "platform/fs/files.h"

#include <optional>
#include <string>

namespace tollander::platform {

// What a name stands for, looked at without opening it.
struct NameInfo {
    bool exists = false; // the name itself is there (a dangling link too)
    bool link = false;   // it is a symbolic link
    // Empty for a regular file, a link or nothing; else "a directory",
    // "a FIFO", "a device" or "a socket".
    std::string kind;
    // The file the name leads to (through links), when there is one.
    std::optional<FileIdentity> target;
};
NameInfo ExamineName(const std::string& path);

// Whether two names lead to one existing file: the same device and inode,
// links followed ("./X" and "$PWD/X", a link and its target, two hard
// links). A tool checks each name it writes against every name it reads.
bool SameFile(const std::string& a, const std::string& b);

// For a tool that writes one replacement file at a time: an interrupt,
// a hang-up or a termination signal removes the unfinished file before the
// program ends as the signal would end it, and a file-size limit fails the
// write (SIGXFSZ ignored) instead of killing the program, so the file goes
// as after any other failure.
void RemoveUnfinishedOutputOnSignals();

} // namespace tollander::platform
