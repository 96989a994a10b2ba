// The private directory of one run of the flasher. Every temporary file of
// the run lives there, so flashers started side by side never share a file.
// It is made fresh inside the user's private base, held for as long as the
// run lives (others can tell it is in use), and removed at the end. What runs
// that are gone (killed, crashed) left behind is removed when the next run
// starts; a directory that a live run holds is never touched.
//
// The policy (sweep, make, hold, remove) is the same on every system; the
// system part is behind run_dir_os.h.
#pragma once

#include "platform/fs/io_error.h"

#include <memory>
#include <string>

namespace tollander::platform {

namespace run_dir_os {
class DirHold;
}

// Where run directories are made.
struct RunDirectoryPlace {
    // The user's private base, shared by this user's runs.
    std::string base;
    // Where a run makes a fresh directory of its own, named prefix + a
    // random part, when the base cannot be used (made by another user, a
    // link, not a directory, cannot be made).
    std::string fallback_parent;
    std::string fallback_prefix;
};

// The system's place for this user.
RunDirectoryPlace DefaultRunDirectoryPlace();

class RunDirectory {
public:
    // Sweeps what dead runs left, then makes and holds a fresh directory.
    // Throws EInOutError when no directory can be made at all.
    RunDirectory();
    explicit RunDirectory(const RunDirectoryPlace& place);
    // Removes the directory with everything in it, then lets it go.
    ~RunDirectory();
    RunDirectory(const RunDirectory&) = delete;
    RunDirectory& operator=(const RunDirectory&) = delete;

    const std::string& Path() const { return path_; }

    // The directory of the run this process holds (the first one made that
    // is still alive); "" when there is none.
    static std::string Current();

private:
    std::string path_;
    std::unique_ptr<run_dir_os::DirHold> hold_;
    bool registered_ = false;
};

} // namespace tollander::platform
