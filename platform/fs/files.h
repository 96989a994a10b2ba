// Files: the one open-file class of every layer, where a path splits, and
// what else a file is asked. The temporary files live in the private
// directory of the run (run_dir.h), every file we create is created afresh
// (never through a link or into someone else's inode), and the two
// attributes map to modes: read-only is 0444, hidden has no meaning here
// (our names already begin with "~").
#pragma once

#include "platform/fs/io_error.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tollander::platform {

// The characters that end a path's directory part: "/" here, either slash
// on Windows (a backslash is part of a name elsewhere).
extern const char* const kPathSeparators;
// The position of a path's last separator, or npos.
std::size_t LastPathSeparator(std::string_view path);
// What follows the last separator (the whole path when there is none).
std::string FileNamePart(const std::string& path);

// The identity of a file: device and inode (volume and file index).
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};

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

// An open file, closed by the destructor. Errors are EInOutError with the
// errno value and "PATH: reason"; an open that does not throw leaves its
// error in Error() and DosError().
class File {
public:
    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Read-only; others may keep reading and writing it. Never throws: when
    // the open fails, Valid() is false and OpenResult() holds what the
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
    // A regular file open for reading, as the tools open their inputs.
    // Anything else under the name (a FIFO, a device, a directory) is
    // refused before it is opened, and checked again on what was opened,
    // with EInOutError "PATH: not a regular file (a FIFO)"; other failures
    // throw the open's error.
    static File OpenInput(const std::string& path);
    // A new file that replaces `target` when committed (tool_files.cpp). It
    // is created under a fresh name (".NAME.XXXXXX" in target's directory,
    // never an existing file) with `mode` less the umask; destroyed
    // uncommitted, it is removed. Failures raise EInOutError naming the
    // target.
    static File CreateReplacement(const std::string& target, unsigned mode = 0666);

    bool Valid() const { return fd_ >= 0; }
    int OpenResult() const { return open_result_; }
    int Error() const { return error_; }
    // The failed open's DOS-style error number (dos_error.h): 2 missing,
    // 3 no such path, 5 denied (a directory too), ...
    int DosError() const { return dos_error_; }
    // The name errors give: the path opened, a replacement's target.
    const std::string& Path() const { return path_; }

    // Up to n bytes; 0 at the end of the file. Throws EInOutError.
    std::size_t Read(void* buffer, std::size_t n);
    // n bytes, fewer only when the file ends first: the count.
    std::size_t ReadFull(void* buffer, std::size_t n);
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
    std::int64_t Position() const; // throws EInOutError
    std::int64_t Size() const;
    // The modification time, packed as a DOS date (dos_time.h); 0 when
    // the system cannot say.
    std::uint32_t DosTime() const;
    FileIdentity Identity() const;
    void Close(); // throws EInOutError when the close reports an error

    // A replacement only: puts the data on the disk, gives the file the
    // modification time `dos_time` (packed; without it the file keeps the
    // time of its writing), closes it and renames it over the target: a
    // target that is a symbolic link is replaced by the file, never
    // written through. Throws EInOutError naming the target.
    void Commit(std::optional<std::uint32_t> dos_time = std::nullopt);

private:
    // Read-only; `held` keeps writers out where the system can.
    static File OpenForReading(const std::string& path, bool held);
    // An open that gave fd (negative: failed) for path.
    File(int fd, std::string path) : fd_(fd), open_result_(fd), path_(std::move(path)) {}
    // Closes the descriptor and removes an uncommitted replacement.
    void Release();
    int fd_ = -1;
    int open_result_ = 0;
    int error_ = 0;
    int dos_error_ = 0;
    std::string path_;
    std::string temporary_; // a replacement's own name until it is committed
};

// Whether `path`, all of it taken as it is written, names a file, in the
// protocol's codes: 0 it does; -2 it names a directory, or nothing in a
// directory that exists; kNoSuchDirectory that directory does not exist;
// another negated DOS-style code (dos_error.h) when the system cannot say.
inline constexpr int kNoSuchDirectory = -6004;
int LocateFile(const std::string& path);

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
