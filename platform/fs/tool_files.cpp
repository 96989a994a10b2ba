// The part of tool_files.h that is the same on every system, and the
// replacement file's: its temporary name beside its target and its commit.
#include "platform/fs/tool_files.h"

#include "platform/fs/dos_time.h"
#include "platform/fs/files.h"
#include "platform/fs/tool_files_os.h"

#include <cerrno>
#include <random>

namespace tollander::platform {

bool SameFile(const std::string& a, const std::string& b) {
    const auto first = ExamineName(a).target;
    return first && first == ExamineName(b).target;
}

File File::CreateReplacement(const std::string& target, unsigned mode) {
    const std::size_t slash = LastPathSeparator(target);
    const std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    // Room for the prefix and the suffix within a name's 255 bytes.
    const std::string base = target.substr(dir.size(), 200);
    std::random_device random;
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string suffix(6, '0');
        for (char& c : suffix)
            c = kLetters[random() % (sizeof kLetters - 1)];
        std::string temporary = dir + "." + base + "." + suffix;
        const int fd = tool_files_os::CreateNew(temporary, mode, target);
        if (fd < 0) continue;
        File file(fd, target);
        file.temporary_ = std::move(temporary);
        return file;
    }
    throw EInOutError::FromErrno(EEXIST, target);
}

void File::Commit(std::optional<std::uint32_t> dos_time) {
    std::optional<std::time_t> when;
    if (std::time_t t; dos_time && TimeTFromDosTime(*dos_time, t)) when = t;
    // On the disk before the name points to it: a crash leaves the old or
    // the new file, never an empty one.
    tool_files_os::SyncAndStamp(fd_, when, path_);
    Close();
    RenameFile(temporary_, path_);
    temporary_.clear();
    tool_files_os::NoteUnfinished({});
}

} // namespace tollander::platform
