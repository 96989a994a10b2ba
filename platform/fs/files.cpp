// The part of files.h that is the same on every system: where a path splits,
// where a temporary file's name leads, and an open file's moves, full reads
// and whole writes.
#include "platform/fs/files.h"

#include "platform/fs/files_os.h"
#include "platform/fs/run_dir.h"
#include "platform/fs/tool_files_os.h"

#include <cerrno>
#include <utility>

namespace tollander::platform {

namespace {

bool HasDrivePrefix(std::string_view name) {
    return name.size() >= 3 && (name[0] == 'c' || name[0] == 'C') && name[1] == ':' &&
           (name[2] == '\\' || name[2] == '/');
}

} // namespace

std::size_t LastPathSeparator(std::string_view path) {
    return path.find_last_of(kPathSeparators);
}

std::string FileNamePart(const std::string& path) {
    const std::size_t slash = LastPathSeparator(path);
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int LocateFile(const std::string& path) {
    const auto slash = LastPathSeparator(path);
    const bool named = slash == std::string::npos ? !path.empty() : slash + 1 < path.size();
    // Looked at directly, so that a directory we may not list still gives up
    // a file we may read.
    const int what = named ? files_os::Probe(path) : files_os::kProbeMissing;
    if (what < 0) return what;
    if (what == files_os::kProbeFile) return 0;
    if (what == files_os::kProbeDirectory) return -2;
    const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    return files_os::Probe(directory) == files_os::kProbeDirectory ? -2 : kNoSuchDirectory;
}

std::string EnsurePrivateTempDir() {
    std::string path = PrivateTempDirPath();
    EnsurePrivateDir(path);
    return path;
}

bool PrivateTempDirUsable() {
    if (!RunDirectory::Current().empty()) return true;
    return files_os::IsOurDirectory(PrivateTempDirPath());
}

std::string MapFileName(std::string_view name, bool create_dir) {
    if (HasDrivePrefix(name)) name.remove_prefix(3);
    std::string dir = RunDirectory::Current();
    if (dir.empty()) dir = create_dir ? EnsurePrivateTempDir() : PrivateTempDirPath();
    return dir + "/" + std::string(name);
}

File File::OpenRead(const std::string& path) {
    return OpenForReading(path, false);
}

File File::OpenHeld(const std::string& path) {
    return OpenForReading(path, true);
}

File::~File() {
    Release();
}

void File::Release() {
    if (fd_ >= 0) files_os::CloseFd(fd_);
    fd_ = -1;
    if (!temporary_.empty()) {
        DeleteFile(temporary_);
        tool_files_os::NoteUnfinished({});
        temporary_.clear();
    }
}

File::File(File&& other) noexcept
    : fd_(other.fd_), open_result_(other.open_result_), error_(other.error_),
      dos_error_(other.dos_error_), path_(std::move(other.path_)),
      temporary_(std::move(other.temporary_)) {
    other.fd_ = -1;
    other.temporary_.clear();
}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        Release();
        fd_ = other.fd_;
        open_result_ = other.open_result_;
        error_ = other.error_;
        dos_error_ = other.dos_error_;
        path_ = std::move(other.path_);
        temporary_ = std::move(other.temporary_);
        other.fd_ = -1;
        other.temporary_.clear();
    }
    return *this;
}

std::size_t File::ReadFull(void* buffer, std::size_t n) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < n) {
        const std::size_t got = Read(bytes + done, n - done);
        if (got == 0) break;
        done += got;
    }
    return done;
}

void File::ReadExact(void* buffer, std::size_t n) {
    if (ReadFull(buffer, n) < n) throw EInOutError(kReadBeyondEnd, path_ + ": Read beyond end of file");
}

void File::Write(const void* buffer, std::size_t n) {
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < n) {
        const long put = files_os::WriteSome(fd_, bytes + done, n - done);
        if (put < 0) throw EInOutError::FromErrno(errno, path_);
        if (put == 0) throw EInOutError::FromErrno(ENOSPC, path_);
        done += static_cast<std::size_t>(put);
    }
}

} // namespace tollander::platform
