// Files on POSIX: modes for the attributes, O_EXCL and O_NOFOLLOW for every
// file we create.
#include "platform/fs/files.h"

#include "platform/fs/dos_error.h"
#include "platform/fs/dos_time.h"
#include "platform/fs/files_os.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tollander::platform {

namespace {

[[noreturn]] void ThrowErrno(int err, const std::string& what) {
    throw EInOutError::FromErrno(err, what);
}

} // namespace

const char* const kPathSeparators = "/";

std::string PrivateTempDirPath() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/tollander-flash";
    return "/tmp/tollander-flash-" + std::to_string(::geteuid());
}

void EnsurePrivateDir(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) ThrowErrno(errno, path);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) ThrowErrno(errno, path);
    if (S_ISLNK(st.st_mode))
        throw EInOutError(ELOOP, path + ": refusing a symbolic link as the temporary directory");
    if (!S_ISDIR(st.st_mode)) throw EInOutError(ENOTDIR, path + ": not a directory");
    if (st.st_uid != ::geteuid())
        throw EInOutError(EPERM, path + ": temporary directory belongs to another user");
    // Ours but opened up by someone: close it again before using it.
    if ((st.st_mode & 077) != 0 && ::chmod(path.c_str(), 0700) != 0) ThrowErrno(errno, path);
}

bool files_os::IsOurDirectory(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid();
}

void files_os::CloseFd(int fd) {
    ::close(fd);
}

int files_os::Probe(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? kProbeDirectory : kProbeFile;
    if (errno == ENOENT || errno == ENOTDIR) return kProbeMissing;
    return -DosErrorFromErrno(errno);
}

// No share modes here: `held` changes nothing.
File File::OpenForReading(const std::string& path, bool) {
    // O_NONBLOCK: a FIFO planted under the name must not hang us.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    File file(fd, path);
    if (fd < 0) {
        file.error_ = errno;
        file.dos_error_ = DosErrorFromErrno(errno);
        return file;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        file.error_ = EINVAL;
        // DOS refuses a directory as it refuses a file it may not read.
        file.dos_error_ = S_ISDIR(st.st_mode) ? 5 : DosErrorFromErrno(EINVAL);
        ::close(fd);
        file.fd_ = -1;
        file.open_result_ = -1;
        return file;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return file;
}

File File::Create(const std::string& path) {
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::open(path.c_str(), flags, 0600);
    if (fd < 0 && errno == EEXIST) {
        // Never write into an existing inode: it may be a link someone
        // planted. Only a plain file of ours is removed and made afresh.
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) ThrowErrno(errno, path);
        if (S_ISLNK(st.st_mode))
            throw EInOutError(ELOOP, path + ": refusing to write through a symbolic link");
        if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid())
            throw EInOutError(EPERM, path + ": refusing to replace a file that is not ours");
        if (::unlink(path.c_str()) != 0) ThrowErrno(errno, path);
        fd = ::open(path.c_str(), flags, 0600);
    }
    if (fd < 0) ThrowErrno(errno, path);
    return File(fd, path);
}

std::size_t File::Read(void* buffer, std::size_t n) {
    for (;;) {
        const ssize_t got = ::read(fd_, buffer, n);
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno != EINTR) ThrowErrno(errno, path_);
    }
}

long files_os::WriteSome(int fd, const void* buffer, std::size_t n) {
    for (;;) {
        const ssize_t put = ::write(fd, buffer, n);
        if (put >= 0 || errno != EINTR) return static_cast<long>(put);
    }
}

void File::Seek(std::int64_t offset) {
    if (::lseek(fd_, offset, SEEK_SET) < 0) ThrowErrno(errno, path_);
}

bool File::SeekFromEnd(std::int64_t offset) {
    return ::lseek(fd_, offset, SEEK_END) >= 0;
}

std::int64_t File::Position() const {
    const off_t at = ::lseek(fd_, 0, SEEK_CUR);
    if (at < 0) ThrowErrno(errno, path_);
    return at;
}

std::int64_t File::Size() const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) ThrowErrno(errno, path_);
    return st.st_size;
}

std::uint32_t File::DosTime() const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return 0;
    return DosTimeFromTimeT(st.st_mtim.tv_sec);
}

FileIdentity File::Identity() const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) ThrowErrno(errno, path_);
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

void File::Close() {
    if (fd_ < 0) return;
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && errno != EINTR) ThrowErrno(errno, path_);
}

std::int64_t FileSize(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return -1;
    return st.st_size;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

namespace {

void ChangeModeNoFollow(const std::string& path, mode_t mode) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    // Refuses symlinks itself (EOPNOTSUPP), so a swap after the lstat
    // cannot redirect the change.
    [[maybe_unused]] const int changed =
        ::fchmodat(AT_FDCWD, path.c_str(), mode, AT_SYMLINK_NOFOLLOW);
}

} // namespace

void SetReadOnly(const std::string& path) {
    ChangeModeNoFollow(path, 0444);
}

void SetHidden(const std::string&) {}

void ClearAttributes(const std::string& path) {
    ChangeModeNoFollow(path, 0600);
}

bool DeleteFile(const std::string& path) {
    return ::unlink(path.c_str()) == 0;
}

void SetMode(const std::string& path, unsigned mode) {
    if (::chmod(path.c_str(), static_cast<mode_t>(mode)) != 0) ThrowErrno(errno, path);
}

void RenameFile(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) ThrowErrno(errno, to);
}

std::string MakeScratchDir(std::string_view prefix) {
    const char* tmp = std::getenv("TMPDIR");
    std::string base = (tmp != nullptr && tmp[0] == '/') ? tmp : "/tmp";
    std::string templ = base + "/" + std::string(prefix) + "-XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr) ThrowErrno(errno, templ);
    return templ;
}

void RemoveTree(const std::string& path) {
    ::nftw(
        path.c_str(),
        [](const char* name, const struct stat*, int, struct FTW*) { return ::remove(name); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

} // namespace tollander::platform
