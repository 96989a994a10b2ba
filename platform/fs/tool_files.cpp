// The part of tool_files.h that is the same on every system: an output's
// temporary name beside its target, and its writing, commit and removal.
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

RegularInput::~RegularInput() {
    if (stream_) std::fclose(stream_);
}

ReplacementFile::ReplacementFile(std::string target, unsigned mode) : target_(std::move(target)) {
    const std::size_t slash = target_.find_last_of(tool_files_os::kSeparators);
    const std::string dir = slash == std::string::npos ? "" : target_.substr(0, slash + 1);
    // Room for the prefix and the suffix within a name's 255 bytes.
    const std::string base = target_.substr(dir.size(), 200);
    std::random_device random;
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; stream_ == nullptr && attempt < 100; ++attempt) {
        std::string suffix(6, '0');
        for (char& c : suffix)
            c = kLetters[random() % (sizeof kLetters - 1)];
        temporary_ = dir + "." + base + "." + suffix;
        stream_ = tool_files_os::CreateNew(temporary_, mode, target_);
    }
    if (stream_ == nullptr) throw EInOutError::from_errno(EEXIST, target_);
}

ReplacementFile::~ReplacementFile() {
    if (stream_) std::fclose(stream_);
    if (!committed_) DeleteFile(temporary_);
    tool_files_os::NoteUnfinished({});
}

void ReplacementFile::Write(const void* data, std::size_t size) {
    errno = 0;
    if (size != 0 && std::fwrite(data, 1, size, stream_) != size)
        throw EInOutError::from_errno(errno != 0 ? errno : EIO, target_);
}

void ReplacementFile::Commit() {
    errno = 0;
    if (std::fflush(stream_) != 0) throw EInOutError::from_errno(errno != 0 ? errno : EIO, target_);
    std::optional<std::time_t> when;
    if (std::time_t t; dos_time_ && time_t_from_dos_time(*dos_time_, t)) when = t;
    // On the disk before the name points to it: a crash leaves the old or
    // the new file, never an empty one.
    tool_files_os::SyncAndStamp(stream_, when, target_);
    std::FILE* stream = stream_;
    stream_ = nullptr;
    if (std::fclose(stream) != 0) throw EInOutError::from_errno(errno, target_);
    RenameFile(temporary_, target_);
    committed_ = true;
    tool_files_os::NoteUnfinished({});
}

} // namespace tollander::platform
