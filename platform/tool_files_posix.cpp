#include "platform/tool_files.h"

#include "platform/dos_time.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace tollander::platform {

namespace {

[[noreturn]] void ThrowErrno(int err, const std::string& path) {
    throw EInOutError::from_errno(err, path);
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

void NoteUnfinished(const std::string& path) {
    g_unfinished[0] = '\0';
    if (path.size() < sizeof g_unfinished) std::memcpy(g_unfinished, path.c_str(), path.size() + 1);
}

FileIdentity IdentityOf(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

} // namespace

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

RegularInput::RegularInput(const std::string& path) : path_(path) {
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
    stream_ = ::fdopen(fd, "rb");
    if (stream_ == nullptr) {
        const int err = errno;
        ::close(fd);
        ThrowErrno(err, path);
    }
    size_ = st.st_size;
    dos_time_ = dos_time_from_time_t(st.st_mtim.tv_sec);
    identity_ = IdentityOf(st);
}

RegularInput::~RegularInput() {
    if (stream_) std::fclose(stream_);
}

ReplacementFile::ReplacementFile(std::string target, unsigned mode) : target_(std::move(target)) {
    const std::size_t slash = target_.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : target_.substr(0, slash + 1);
    // Room for the prefix and the suffix within a name's 255 bytes.
    const std::string base = target_.substr(dir.size(), 200);
    std::random_device random;
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        std::string suffix(6, '0');
        for (char& c : suffix)
            c = kLetters[random() % (sizeof kLetters - 1)];
        temporary_ = dir + "." + base + "." + suffix;
        // O_EXCL with O_NOFOLLOW: always a new inode of our own, whatever lies around.
        fd = ::open(temporary_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    static_cast<mode_t>(mode));
        if (fd < 0 && errno != EEXIST) ThrowErrno(errno, target_);
    }
    if (fd < 0) ThrowErrno(EEXIST, target_);
    NoteUnfinished(temporary_);
    stream_ = ::fdopen(fd, "w+b");
    if (stream_ == nullptr) {
        const int err = errno;
        ::close(fd);
        ::unlink(temporary_.c_str());
        ThrowErrno(err, target_);
    }
}

ReplacementFile::~ReplacementFile() {
    if (stream_) std::fclose(stream_);
    if (!committed_) ::unlink(temporary_.c_str());
    NoteUnfinished({});
}

void ReplacementFile::Write(const void* data, std::size_t size) {
    errno = 0;
    if (size != 0 && std::fwrite(data, 1, size, stream_) != size)
        ThrowErrno(errno != 0 ? errno : EIO, target_);
}

void ReplacementFile::Commit() {
    errno = 0;
    if (std::fflush(stream_) != 0) ThrowErrno(errno != 0 ? errno : EIO, target_);
    const int fd = ::fileno(stream_);
    // On the disk before the name points to it: a crash leaves the old or
    // the new file, never an empty one.
    if (::fsync(fd) != 0) ThrowErrno(errno, target_);
    std::time_t t;
    if (dos_time_ && time_t_from_dos_time(*dos_time_, t)) {
        const struct timespec times[2] = {{t, 0}, {t, 0}};
        if (::futimens(fd, times) != 0) ThrowErrno(errno, target_);
    }
    std::FILE* stream = stream_;
    stream_ = nullptr;
    if (std::fclose(stream) != 0) ThrowErrno(errno, target_);
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) ThrowErrno(errno, target_);
    committed_ = true;
    NoteUnfinished({});
}

void RemoveUnfinishedOutputOnSignals() {
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP})
        std::signal(signal_number, RemoveUnfinished);
    std::signal(SIGXFSZ, SIG_IGN);
}

} // namespace tollander::platform
