// The file search on POSIX: readdir and fnmatch, directories left out by
// their mode.
#include "platform/fs/file_search.h"

#include "platform/fs/dos_error.h"
#include "platform/fs/file_search_os.h"

#include <cerrno>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tollander::platform {

namespace {

std::uint32_t pack_dos_date(std::time_t when) {
    std::tm local{};
    if (localtime_r(&when, &local) == nullptr || local.tm_year < 80) return 0;
    return static_cast<std::uint32_t>(local.tm_year - 80) << 25 |
           static_cast<std::uint32_t>(local.tm_mon + 1) << 21 |
           static_cast<std::uint32_t>(local.tm_mday) << 16 |
           static_cast<std::uint32_t>(local.tm_hour) << 11 |
           static_cast<std::uint32_t>(local.tm_min) << 5 |
           static_cast<std::uint32_t>(local.tm_sec / 2);
}

} // namespace

const char* const file_search_os::kSeparators = "/";
const char* const file_search_os::kWildcards = "*?[";

bool file_search_os::IsDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int file_search_os::Probe(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? kProbeDirectory : kProbeFile;
    if (errno == ENOENT || errno == ENOTDIR) return kProbeMissing;
    return -dos_error_from_errno(errno);
}

int file_search_os::ForEachFile(const std::string& directory, const std::string& pattern,
                                const std::string&, const std::function<void(std::string)>& each) {
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) {
        const int err = errno;
        if (err == ENOENT || err == ENOTDIR) return kSearchNoDirectory;
        return -dos_error_from_errno(err);
    }
    const bool every_file = pattern == "*.*";
    while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (!every_file && ::fnmatch(pattern.c_str(), name, 0) != 0) continue;
        struct stat st {};
        if (::fstatat(::dirfd(dir), name, &st, 0) != 0 || S_ISDIR(st.st_mode)) continue;
        each(name);
    }
    ::closedir(dir);
    return 0;
}

long file_search_os::ReadSome(int fd, void* buffer, std::size_t n) {
    for (;;) {
        const ssize_t r = ::read(fd, buffer, n);
        if (r >= 0) return static_cast<long>(r);
        if (errno != EINTR) return -dos_error_from_errno(errno);
    }
}

void file_search_os::Close(int fd) {
    ::close(fd);
}

int ReadOnlyFile::open(const std::string& path) {
    close();
    if (path.empty()) return -2;
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -dos_error_from_errno(errno);
    struct stat st {};
    const bool known = ::fstat(fd, &st) == 0;
    if (known && S_ISDIR(st.st_mode)) {
        ::close(fd);
        return -5;
    }
    fd_ = fd;
    size_ = known ? static_cast<std::int64_t>(st.st_size) : -1;
    dos_date_ = known ? pack_dos_date(st.st_mtime) : 0;
    return 0;
}

} // namespace tollander::platform
