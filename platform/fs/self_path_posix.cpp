#include "platform/fs/self_path.h"

#include <climits>
#include <unistd.h>

namespace tollander::platform {

std::string SelfPath() {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return "/proc/self/exe";
    std::string path(buffer, static_cast<std::size_t>(n));
    // A replaced or deleted program file: the link still opens what runs.
    constexpr std::string_view deleted = " (deleted)";
    if (path.size() > deleted.size() && path.ends_with(deleted)) return "/proc/self/exe";
    return path;
}

SelfFile OpenSelf() {
    // The link opens the file that runs, whatever its name leads to by now.
    return {SelfPath(), std::make_shared<File>(File::OpenHeld("/proc/self/exe"))};
}

} // namespace tollander::platform
