// Files that outlive a run, on POSIX: the XDG state directory, whole-file
// replacement by rename, a lock with flock.
#include "platform/fs/state_dir.h"

#include "platform/fs/io_error.h"
#include "platform/fs/state_dir_os.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tollander::platform {

namespace {

std::string DirectoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Writes all of `data`, retrying short writes and interruptions.
bool WriteAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

std::string StateDirPath() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && state[0] == '/') return std::string(state) + "/tollander-flash";
    std::string home;
    if (const char* h = std::getenv("HOME"); h && h[0] == '/') {
        home = h;
    } else if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir && pw->pw_dir[0] == '/') {
        home = pw->pw_dir;
    }
    if (home.empty()) return {};
    if (home.size() > 1 && home.back() == '/') home.pop_back();
    return home + "/.local/state/tollander-flash";
}

void MakeDirectories(const std::string& path) {
    struct stat st{};
    if (stat(path.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) throw EInOutError::FromErrno(ENOTDIR, path);
        return;
    }
    const std::string parent = DirectoryOf(path);
    if (parent != path) MakeDirectories(parent);
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        throw EInOutError::FromErrno(errno, path);
}

std::string ReadWholeFile(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return {};
        throw EInOutError::FromErrno(errno, path);
    }
    std::string text;
    char buffer[8192];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int err = errno;
            close(fd);
            throw EInOutError::FromErrno(err, path);
        }
        if (n == 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return text;
}

void ReplaceFile(const std::string& path, const std::string& contents) {
    std::string temp = path + ".XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) throw EInOutError::FromErrno(errno, temp);
    const auto fail = [&](int err) {
        close(fd);
        unlink(temp.c_str());
        throw EInOutError::FromErrno(err, path);
    };
    if (!WriteAll(fd, contents)) fail(errno ? errno : EIO);
    // The data reaches the disk before the name does, so a crash leaves
    // either the old file or the new one, whole.
    if (fsync(fd) != 0) fail(errno);
    if (close(fd) != 0) {
        const int err = errno;
        unlink(temp.c_str());
        throw EInOutError::FromErrno(err, path);
    }
    if (rename(temp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        unlink(temp.c_str());
        throw EInOutError::FromErrno(err, path);
    }
    const int dir = open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
}

FileLock::FileLock(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) throw EInOutError::FromErrno(errno, path);
    while (flock(fd_, LOCK_EX) != 0) {
        if (errno == EINTR) continue;
        const int err = errno;
        close(fd_);
        throw EInOutError::FromErrno(err, path);
    }
}

FileLock::~FileLock() {
    close(fd_); // releases the lock
}

int ProcessId() {
    return static_cast<int>(getpid());
}

state_dir_os::LocalTime state_dir_os::LocalTimeAt(std::chrono::system_clock::time_point when) {
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    LocalTime local;
    localtime_r(&t, &local.tm);
    local.utc_offset_minutes = local.tm.tm_gmtoff / 60;
    return local;
}

} // namespace tollander::platform
