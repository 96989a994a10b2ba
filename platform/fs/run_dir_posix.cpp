// The run directory on POSIX: mkdtemp makes it, flock on the directory
// itself holds it. The kernel drops the lock when the process ends in any
// way, so an unheld directory is one whose run is gone.
#include "platform/fs/files.h"
#include "platform/fs/run_dir_os.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tollander::platform::run_dir_os {

namespace {

class FlockHold final : public DirHold {
public:
    explicit FlockHold(int fd) : fd_(fd) {}
    ~FlockHold() override { ::close(fd_); } // releases the lock
    FlockHold(const FlockHold&) = delete;
    FlockHold& operator=(const FlockHold&) = delete;

private:
    int fd_;
};

} // namespace

const char* PlaceSettings() {
    return "XDG_RUNTIME_DIR (or TMPDIR)";
}

RunDirectoryPlace DefaultPlace() {
    const char* tmp = std::getenv("TMPDIR");
    return {PrivateTempDirPath(), (tmp != nullptr && tmp[0] == '/') ? tmp : "/tmp",
            "tollander-flash-" + std::to_string(::geteuid()) + "."};
}

std::string MakeFreshDirectory(const std::string& parent, const std::string& prefix) {
    std::string path = parent + "/" + prefix + "XXXXXX";
    if (::mkdtemp(path.data()) == nullptr) throw EInOutError::FromErrno(errno, parent);
    return path;
}

std::unique_ptr<DirHold> TryHold(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return nullptr;
    auto hold = std::make_unique<FlockHold>(fd);
    struct stat held {};
    struct stat named {};
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::fstat(fd, &held) != 0 ||
        held.st_uid != ::geteuid())
        return nullptr;
    // Locked, but is it still the directory under that name? Another run may
    // have removed it (and a new one taken the name) since we opened it.
    if (::lstat(path.c_str(), &named) != 0 || named.st_dev != held.st_dev ||
        named.st_ino != held.st_ino)
        return nullptr;
    return hold;
}

} // namespace tollander::platform::run_dir_os
