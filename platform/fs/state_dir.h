// Files that outlive a run: the user's state directory, a file replaced as a
// whole so that a crash or a full disk never leaves it half written, a lock
// between programs that rewrite the same file, and the wall-clock times they
// are stamped with.
#pragma once

#include <chrono>
#include <string>

namespace tollander::platform {

// $XDG_STATE_HOME/tollander-flash when that is an absolute path, else
// $HOME/.local/state/tollander-flash (HOME from the password database when
// unset); "" when no home is known.
std::string StateDirPath();

// Makes `path` and its missing parents; new ones are 0700. Throws
// EInOutError when it cannot, or when `path` is not a directory.
void MakeDirectories(const std::string& path);

// The whole file; "" when it does not exist. Throws EInOutError.
std::string ReadWholeFile(const std::string& path);

// Puts `contents` in place of `path`: written to a new file in the same
// directory (mode 0600), flushed to the disk, renamed over `path`. On any
// failure the old file is left as it was, the new one is removed, and
// EInOutError says why.
void ReplaceFile(const std::string& path, const std::string& contents);

// An exclusive advisory lock on `path` (created when missing), held until
// the object goes; waits for another holder. Throws EInOutError.
class FileLock {
public:
    explicit FileLock(const std::string& path);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int fd_ = -1;
};

// This process's number, to tell runs started in the same second apart.
int ProcessId();

// "2026-12-10 13:45:01 +0100": local date, time and offset from UTC.
std::string LocalDateTime(std::chrono::system_clock::time_point when);
// "13:45:01.123": local time of day to the millisecond.
std::string LocalTimeOfDay(std::chrono::system_clock::time_point when);

} // namespace tollander::platform
