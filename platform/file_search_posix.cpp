#include "platform/file_search.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tollander::platform {

namespace {

bool has_wildcards(const std::string& pattern) {
    return pattern.find_first_of("*?[") != std::string::npos;
}

bool is_directory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

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

int find_first_file(const std::string& mask, FoundFile& found) {
    const auto slash = mask.rfind('/');
    const std::string prefix = slash == std::string::npos ? "" : mask.substr(0, slash + 1);
    const std::string pattern = slash == std::string::npos ? mask : mask.substr(slash + 1);
    const std::string directory = prefix.empty() ? "." : prefix;

    if (!has_wildcards(pattern)) {
        // A plain name: look at it directly, so that a directory we may not
        // list still gives up a file we may read.
        struct stat st {};
        const std::string path = prefix + pattern;
        if (!pattern.empty() && ::stat(path.c_str(), &st) == 0) {
            if (S_ISDIR(st.st_mode)) return -2;
            found = {path, pattern};
            return 0;
        }
        const int err = pattern.empty() ? ENOENT : errno;
        if (err != ENOENT && err != ENOTDIR) return -dos_error_from_errno(err);
        return is_directory(directory) ? -2 : kSearchNoDirectory;
    }

    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) {
        const int err = errno;
        if (err == ENOENT || err == ENOTDIR) return kSearchNoDirectory;
        return -dos_error_from_errno(err);
    }
    const bool every_file = pattern == "*.*";
    std::string best;
    bool matched = false;
    while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (!every_file && ::fnmatch(pattern.c_str(), name, 0) != 0) continue;
        if (matched && std::strcmp(name, best.c_str()) >= 0) continue;
        struct stat st {};
        if (::fstatat(::dirfd(dir), name, &st, 0) != 0 || S_ISDIR(st.st_mode)) continue;
        best = name;
        matched = true;
    }
    ::closedir(dir);
    if (!matched) return kSearchNoMatch;
    found = {prefix + best, best};
    return 0;
}

ReadOnlyFile::~ReadOnlyFile() {
    close();
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

long ReadOnlyFile::read(void* buffer, std::size_t n) {
    if (fd_ < 0) return -6;
    auto* out = static_cast<unsigned char*>(buffer);
    std::size_t got = 0;
    // Only the end of the file may make a read come back short.
    while (got < n) {
        const ssize_t r = ::read(fd_, out + got, n - got);
        if (r < 0) {
            if (errno == EINTR) continue;
            return -dos_error_from_errno(errno);
        }
        if (r == 0) break;
        got += static_cast<std::size_t>(r);
    }
    return static_cast<long>(got);
}

void ReadOnlyFile::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    size_ = -1;
    dos_date_ = 0;
}

} // namespace tollander::platform
