// A file's own times as packed DOS dates, through stat() and utimensat().
#include "platform/fs/dos_time.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

namespace tollander::platform {

std::uint32_t ReadFileDosTime(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return 0;
    return DosTimeFromTimeT(st.st_mtim.tv_sec);
}

bool WriteFileDosTime(const std::string& path, std::uint32_t packed) {
    std::time_t t;
    if (!TimeTFromDosTime(packed, t)) return false;
    struct timespec times[2] = {{t, 0}, {t, 0}};
    return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

} // namespace tollander::platform
