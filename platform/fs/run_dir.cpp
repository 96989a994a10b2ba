#include "platform/fs/run_dir.h"

#include "platform/fs/files.h"
#include "platform/fs/run_dir_os.h"

#include <cerrno>
#include <filesystem>
#include <mutex>
#include <vector>

namespace tollander::platform {

namespace {

constexpr const char* kRunPrefix = "run.";
// A run sweeping at the same moment may take a new directory before its
// maker holds it; the maker then makes another. More misses than this mean
// the system does not lock.
constexpr int kMakeAttempts = 8;

std::mutex current_mutex;
std::string current_path;

// Every directory named prefix... that nobody holds was left by a run that
// is gone.
void SweepStale(const std::string& parent, const std::string& prefix) {
    namespace fs = std::filesystem;
    std::vector<std::string> candidates;
    std::error_code ec;
    for (auto it = fs::directory_iterator(parent, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0)
            candidates.push_back(it->path().string());
    }
    for (const std::string& path : candidates)
        if (const auto hold = run_dir_os::TryHold(path)) RemoveTree(path);
}

} // namespace

RunDirectoryPlace DefaultRunDirectoryPlace() {
    return run_dir_os::DefaultPlace();
}

RunDirectory::RunDirectory() : RunDirectory(DefaultRunDirectoryPlace()) {}

RunDirectory::RunDirectory(const RunDirectoryPlace& place) {
    std::string parent = place.base;
    std::string prefix = kRunPrefix;
    std::string base_problem;
    try {
        EnsurePrivateDir(place.base);
    } catch (const EInOutError& e) {
        // Someone else's base (or a link) is not ours to use, and not ours to
        // clean either: the run goes to a fresh directory of its own.
        base_problem = std::string(e.what()) + ", and ";
        parent = place.fallback_parent;
        prefix = place.fallback_prefix;
    }
    SweepStale(parent, prefix);
    for (int attempt = 1; !hold_; ++attempt) {
        try {
            path_ = run_dir_os::MakeFreshDirectory(parent, prefix);
        } catch (const EInOutError& e) {
            throw EInOutError(e.ErrorCode, "no private directory for the temporary files: " +
                                               base_problem + e.what() + "; set " +
                                               run_dir_os::PlaceSettings() +
                                               " to a directory of yours with room in it, and "
                                               "start again");
        }
        hold_ = run_dir_os::TryHold(path_);
        if (!hold_ && attempt == kMakeAttempts)
            throw EInOutError(ENOLCK, path_ +
                                          ": the private directory for the temporary files "
                                          "cannot be locked; set " +
                                          run_dir_os::PlaceSettings() +
                                          " to a directory on a local file system, and start "
                                          "again");
    }
    const std::lock_guard lock(current_mutex);
    if (current_path.empty()) {
        current_path = path_;
        registered_ = true;
    }
}

RunDirectory::~RunDirectory() {
    if (registered_) {
        const std::lock_guard lock(current_mutex);
        current_path.clear();
    }
    // Removed while still held, so that no sweeping run races the removal.
    RemoveTree(path_);
    hold_.reset();
}

std::string RunDirectory::Current() {
    const std::lock_guard lock(current_mutex);
    return current_path;
}

} // namespace tollander::platform
