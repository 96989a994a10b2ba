// What the run directory (run_dir.h) needs from the system; one
// implementation per system (run_dir_posix.cpp).
#pragma once

#include "platform/fs/run_dir.h"

#include <memory>
#include <string>

namespace tollander::platform::run_dir_os {

// A claim on a directory that no other process can take while it lasts. It
// ends with the object, or with the process however that ends.
class DirHold {
public:
    virtual ~DirHold() = default;
};

RunDirectoryPlace DefaultPlace();

// The settings a user changes to move the base ("XDG_RUNTIME_DIR (or
// TMPDIR)"), named in the advice of the errors.
const char* PlaceSettings();

// Makes the base when it is missing; true when it is then a real directory
// of ours that others cannot enter.
bool PrepareBase(const std::string& base);

// A new directory parent/prefix + a random part that only we can use; throws
// EInOutError.
std::string MakeFreshDirectory(const std::string& parent, const std::string& prefix);

// The claim on the directory at path, when it is a real directory of ours
// and nobody holds it; nullptr when a live run holds it, it is gone (or was
// replaced meanwhile), or it is not ours. Never waits.
std::unique_ptr<DirHold> TryHold(const std::string& path);

} // namespace tollander::platform::run_dir_os
