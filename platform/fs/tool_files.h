// Files as the command-line tools open them: an input is a regular file,
// opened once and then used through what was opened; an output is written
// under a fresh name of its own beside its target and renamed over the
// target only when complete, so a failed run leaves the target as it was
// and no partial file, and never writes through a link or into someone
// else's file.
#pragma once

#include "platform/fs/io_error.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace tollander::platform {

// The identity of a file: device and inode.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};

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

// A regular file open for reading. Anything else under the name (a FIFO, a
// device, a directory) is refused before it is opened, and checked again on
// what was opened, with EInOutError "PATH: not a regular file (a FIFO)".
class RegularInput {
public:
    explicit RegularInput(const std::string& path);
    ~RegularInput();
    RegularInput(const RegularInput&) = delete;
    RegularInput& operator=(const RegularInput&) = delete;

    std::FILE* Stream() const { return stream_; }
    const std::string& Path() const { return path_; }
    std::int64_t Size() const { return size_; }
    std::uint32_t DosTime() const { return dos_time_; } // its modification time, packed
    FileIdentity Identity() const { return identity_; }

private:
    std::string path_;
    std::FILE* stream_ = nullptr;
    std::int64_t size_ = 0;
    std::uint32_t dos_time_ = 0;
    FileIdentity identity_;
};

// A new file that replaces `target` when committed. It is created under a
// fresh name (".NAME.XXXXXX" in target's directory, never an existing file)
// with `mode` less the umask; destroyed uncommitted, it is removed. Commit
// renames it over the target: a target that is a symbolic link is replaced
// by the file, never written through. Failures raise EInOutError naming the
// target.
class ReplacementFile {
public:
    explicit ReplacementFile(std::string target, unsigned mode = 0666);
    ~ReplacementFile();
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    std::FILE* Stream() const { return stream_; }
    void Write(const void* data, std::size_t size);
    // The modification time the file gets on commit (packed DOS date and
    // time); without it the file keeps the time of its writing.
    void SetDosTime(std::uint32_t packed) { dos_time_ = packed; }
    // Flushes the data to the disk, then renames the file over the target.
    void Commit();

    const std::string& Target() const { return target_; }
    const std::string& TemporaryPath() const { return temporary_; }

private:
    std::string target_;
    std::string temporary_;
    std::FILE* stream_ = nullptr;
    std::optional<std::uint32_t> dos_time_;
    bool committed_ = false;
};

// For a tool that writes one ReplacementFile at a time: an interrupt,
// a hang-up or a termination signal removes the unfinished file before the
// program ends as the signal would end it, and a file-size limit fails the
// write (SIGXFSZ ignored) instead of killing the program, so the file goes
// as after any other failure.
void RemoveUnfinishedOutputOnSignals();

} // namespace tollander::platform
