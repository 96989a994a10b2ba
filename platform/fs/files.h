// Files as the payload and the codec see them. The temporary files live in
// the private directory of the run (run_dir.h), every file we create is
// created afresh (never through a link or into someone else's inode), and
// the two attributes map to modes: read-only is 0444, hidden has no meaning
// here (our names already begin with "~").
#pragma once

#include "platform/fs/io_error.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace tollander::platform {

// The user's private base: $XDG_RUNTIME_DIR/tollander-flash, else
// /tmp/tollander-flash-<uid>. Each run makes its own directory inside.
std::string PrivateTempDirPath();
// Creates path 0700 when missing (and closes it to others when someone
// opened it up). Throws EInOutError when it is a symlink, not a directory or
// not ours.
void EnsurePrivateDir(const std::string& path);
// EnsurePrivateDir on the base; its path.
std::string EnsurePrivateTempDir();
// True when the temporary files have a directory to go to: a run directory
// is held, or the base exists as a real directory owned by us.
bool PrivateTempDirUsable();

// A temporary file's name -> its path in the directory of the run this
// process holds; "c:\NAME" (any case of the drive letter) and a bare NAME
// both go there, never to the current directory. Without a run directory
// (tests that drive the core in-process) the base itself stands in, and
// create_dir makes (and checks) it first.
std::string MapFileName(std::string_view name, bool create_dir = true);

// An open file, closed by the destructor.
class File {
public:
    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Read-only; others may keep reading and writing it. Never throws: when
    // the open fails, valid() is false and open_result() holds what the
    // open returned (-1), error() the errno value.
    static File OpenRead(const std::string& path);
    // Read-only, for a file the run keeps open to its end (the program's
    // own): others may read it, rename it or delete its name, never write
    // into it (Windows: shared without FILE_SHARE_WRITE). POSIX has no such
    // share mode: there it is OpenRead, and the system itself refuses
    // writers the file of a running program. Never throws, as OpenRead.
    static File OpenHeld(const std::string& path);
    // A new, empty file for writing, mode 0600. An old regular file of ours
    // under the name is removed first; a symlink, a device or a file of
    // another user there is refused with EInOutError and left alone.
    static File Create(const std::string& path);

    bool valid() const { return fd_ >= 0; }
    int open_result() const { return open_result_; }
    int error() const { return error_; }

    // Up to n bytes; 0 at the end of the file. Throws EInOutError.
    std::size_t Read(void* buffer, std::size_t n);
    // Reads exactly n bytes or throws EInOutError (kReadBeyondEnd when the
    // file ends first).
    void ReadExact(void* buffer, std::size_t n);
    // Writes all n bytes; throws EInOutError on a failure or a short write.
    void Write(const void* buffer, std::size_t n);
    // Positions at offset from the start; throws EInOutError.
    void Seek(std::int64_t offset);
    // Positions at offset (<= 0) from the end; false (position unchanged)
    // when that lies before the start of the file.
    bool SeekFromEnd(std::int64_t offset);
    std::int64_t Size() const;
    void Close(); // throws EInOutError when the close reports an error

private:
    // Read-only; `held` keeps writers out where the system can.
    static File OpenForReading(const std::string& path, bool held);
    explicit File(int fd) : fd_(fd) {}
    // An open that gave fd (negative: failed) for path.
    File(int fd, std::string path) : fd_(fd), open_result_(fd), path_(std::move(path)) {}
    int fd_ = -1;
    int open_result_ = 0;
    int error_ = 0;
    std::string path_;
};

// Size in bytes, or -1 when the file cannot be examined.
std::int64_t FileSize(const std::string& path);
bool FileExists(const std::string& path);
// Attributes never report failure and never act through a symlink.
void SetReadOnly(const std::string& path);
void SetHidden(const std::string& path);
void ClearAttributes(const std::string& path);
// Removes the name (a symlink itself, never its target); false on failure.
bool DeleteFile(const std::string& path);
// Mode bits (e.g. 0755) of a file we wrote; throws EInOutError.
void SetMode(const std::string& path, unsigned mode);
// Atomic replace of to by from; throws EInOutError.
void RenameFile(const std::string& from, const std::string& to);
// A fresh private directory under $TMPDIR (or /tmp) for a tool's scratch
// files; the caller removes it with RemoveTree.
std::string MakeScratchDir(std::string_view prefix);
void RemoveTree(const std::string& path);

} // namespace tollander::platform
