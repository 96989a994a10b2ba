// The command-line tools' files on POSIX: inputs must be regular files,
// outputs are made with O_EXCL and O_NOFOLLOW beside the target, and a
// signal removes the unfinished one.
#include "platform/fs/tool_files.h"

#include "platform/fs/tool_files_os.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace tollander::platform {

namespace {

[[noreturn]] void ThrowErrno(int err, const std::string& path) {
    throw EInOutError::FromErrno(err, path);
}

std::string KindOf(mode_t mode) {
    if (S_ISREG(mode)) return {};
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISSOCK(mode)) return "a socket";
    return "of an unknown kind";
}

[[noreturn]] void ThrowNotRegular(const std::string& path, mode_t mode) {
    throw EInOutError(S_ISDIR(mode) ? EISDIR : EINVAL,
                      path + ": not a regular file (" + KindOf(mode) + ")");
}

// The temporary file being written, for the signal handler; empty when none.
// A fixed buffer: the handler may only read plain memory.
char g_unfinished[4096];

void RemoveUnfinished(int signal_number) {
    if (g_unfinished[0] != '\0') ::unlink(g_unfinished);
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

FileIdentity IdentityOf(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

} // namespace

void tool_files_os::NoteUnfinished(const std::string& path) {
    g_unfinished[0] = '\0';
    if (path.size() < sizeof g_unfinished) std::memcpy(g_unfinished, path.c_str(), path.size() + 1);
}

NameInfo ExamineName(const std::string& path) {
    NameInfo info;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return info;
    info.exists = true;
    info.link = S_ISLNK(st.st_mode);
    if (!info.link) info.kind = KindOf(st.st_mode);
    if (::stat(path.c_str(), &st) == 0) info.target = IdentityOf(st);
    return info;
}

File File::OpenInput(const std::string& path) {
    // Looked at before it is opened: opening a device may act on it, and
    // reading a FIFO would wait for a writer.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) ThrowErrno(errno, path);
    if (!S_ISREG(st.st_mode)) ThrowNotRegular(path, st.st_mode);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) ThrowErrno(errno, path);
    // The name may have changed in between: what counts is what was opened.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int err = errno;
        ::close(fd);
        if (S_ISREG(st.st_mode)) ThrowErrno(err, path);
        ThrowNotRegular(path, st.st_mode);
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return File(fd, path);
}

int tool_files_os::CreateNew(const std::string& path, unsigned mode,
                                    const std::string& target) {
    // O_EXCL with O_NOFOLLOW: always a new inode of our own, whatever lies around.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          static_cast<mode_t>(mode));
    if (fd < 0) {
        if (errno == EEXIST) return -1;
        ThrowErrno(errno, target);
    }
    NoteUnfinished(path);
    return fd;
}

void tool_files_os::SyncAndStamp(int fd, std::optional<std::time_t> when,
                                 const std::string& target) {
    if (::fsync(fd) != 0) ThrowErrno(errno, target);
    if (when) {
        const struct timespec times[2] = {{*when, 0}, {*when, 0}};
        if (::futimens(fd, times) != 0) ThrowErrno(errno, target);
    }
}

void RemoveUnfinishedOutputOnSignals() {
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP})
        std::signal(signal_number, RemoveUnfinished);
    std::signal(SIGXFSZ, SIG_IGN);
}

} // namespace tollander::platform
