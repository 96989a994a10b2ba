// The part of the file search that is the same on every system: how a mask
// splits and which of the matches wins.
#include "platform/fs/file_search.h"

#include "platform/fs/file_search_os.h"
#include "platform/fs/files.h"

namespace tollander::platform {

int find_file(const std::string& path) {
    const auto slash = LastPathSeparator(path);
    const bool named = slash == std::string::npos ? !path.empty() : slash + 1 < path.size();
    // Looked at directly, so that a directory we may not list still gives up
    // a file we may read.
    const int what = named ? file_search_os::Probe(path) : file_search_os::kProbeMissing;
    if (what < 0) return what;
    if (what == file_search_os::kProbeFile) return 0;
    if (what == file_search_os::kProbeDirectory) return -2;
    const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    return file_search_os::IsDirectory(directory) ? -2 : kSearchNoDirectory;
}

int FindFirstMatch(const std::string& mask, FoundFile& found) {
    const auto slash = LastPathSeparator(mask);
    const std::string prefix = slash == std::string::npos ? "" : mask.substr(0, slash + 1);
    const std::string pattern = slash == std::string::npos ? mask : mask.substr(slash + 1);
    const std::string directory = prefix.empty() ? "." : prefix;

    if (pattern.find_first_of(file_search_os::kWildcards) == std::string::npos) {
        if (const int rc = find_file(mask); rc < 0) return rc;
        found = {mask, pattern};
        return 0;
    }

    std::string best;
    bool matched = false;
    const int rc = file_search_os::ForEachFile(directory, pattern, prefix + pattern,
                                               [&](std::string name) {
                                                   if (matched && name >= best) return;
                                                   best = std::move(name);
                                                   matched = true;
                                               });
    if (rc != 0) return rc;
    if (!matched) return kSearchNoMatch;
    found = {prefix + best, best};
    return 0;
}

} // namespace tollander::platform
