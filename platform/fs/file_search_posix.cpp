// The file search on POSIX: readdir and fnmatch, directories left out by
// their mode.
#include "platform/fs/file_search.h"

#include "platform/fs/dos_error.h"
#include "platform/fs/file_search_os.h"

#include <cerrno>
#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

namespace tollander::platform {

const char* const file_search_os::kWildcards = "*?[";

bool file_search_os::IsDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int file_search_os::Probe(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? kProbeDirectory : kProbeFile;
    if (errno == ENOENT || errno == ENOTDIR) return kProbeMissing;
    return -DosErrorFromErrno(errno);
}

int file_search_os::ForEachFile(const std::string& directory, const std::string& pattern,
                                const std::string&, const std::function<void(std::string)>& each) {
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) {
        const int err = errno;
        if (err == ENOENT || err == ENOTDIR) return kSearchNoDirectory;
        return -DosErrorFromErrno(err);
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

} // namespace tollander::platform
