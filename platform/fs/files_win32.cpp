// Files on Windows. The temporary files live in the run's directory under the
// user's temporary folder (GetTempPathW), never in the root of drive C:. Every
// file we write is created new (CREATE_NEW), and nothing acts through a
// reparse point (a symbolic link or a junction). Paths are UTF-8 inside and
// wide at every call; descriptors are the C runtime's, over Windows handles.
#include "platform/fs/files.h"

#include "platform/fs/files_os.h"
#include "platform/fs/run_dir_os.h"
#include "platform/text_win32.h"

#include <windows.h>
#undef DeleteFile // ours, not the Windows macro

#include <cerrno>
#include <fcntl.h>
#include <io.h>

namespace tollander::platform {

namespace {

[[noreturn]] void ThrowErrno(int err, const std::string& what) {
    throw EInOutError::FromErrno(err, what);
}

DWORD Attributes(const std::string& path) {
    return ::GetFileAttributesW(win32::Widen(path).c_str());
}

bool IsReparsePoint(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// The user's temporary folder with a slash at the end.
std::string TempFolder() {
    wchar_t buffer[MAX_PATH + 2];
    const DWORD n = ::GetTempPathW(MAX_PATH + 1, buffer);
    std::string path = n > 0 && n <= MAX_PATH + 1 ? win32::NarrowPath({buffer, n}) : "C:/Windows/Temp/";
    if (path.back() != '/') path += '/';
    return path;
}

int FdFromHandle(HANDLE h, int flags) {
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), flags | _O_BINARY);
    if (fd < 0) ::CloseHandle(h);
    return fd;
}

bool HandleInformation(int fd, BY_HANDLE_FILE_INFORMATION& info) {
    const HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    return h != INVALID_HANDLE_VALUE && ::GetFileInformationByHandle(h, &info);
}

// Attributes changed on a plain file only: never on a link's target.
void ChangeAttributes(const std::string& path, DWORD set, DWORD clear) {
    const DWORD attributes = Attributes(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || IsReparsePoint(attributes) ||
        (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return;
    DWORD wanted = (attributes | set) & ~clear;
    wanted &= FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE |
              FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    ::SetFileAttributesW(win32::Widen(path).c_str(), wanted == 0 ? FILE_ATTRIBUTE_NORMAL : wanted);
}

} // namespace

const char* const kPathSeparators = "/\\";

std::string PrivateTempDirPath() {
    return TempFolder() + "tollander-flash";
}

void EnsurePrivateDir(const std::string& path) {
    // The temporary folder is the user's own; a directory made in it
    // inherits that.
    if (!::CreateDirectoryW(win32::Widen(path).c_str(), nullptr) &&
        ::GetLastError() != ERROR_ALREADY_EXISTS)
        win32::ThrowError(::GetLastError(), path);
    const DWORD attributes = Attributes(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) win32::ThrowError(::GetLastError(), path);
    if (IsReparsePoint(attributes))
        throw EInOutError(ELOOP, path + ": refusing a link as the temporary directory");
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        throw EInOutError(ENOTDIR, path + ": not a directory");
}

bool files_os::IsOurDirectory(const std::string& path) {
    // The temporary folder is the user's own, and so is what we make in it.
    const DWORD attributes = Attributes(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !IsReparsePoint(attributes);
}

void files_os::CloseFd(int fd) {
    ::_close(fd);
}

int files_os::Probe(const std::string& path) {
    const DWORD attributes = Attributes(path);
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? kProbeDirectory : kProbeFile;
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return kProbeMissing;
    return -win32::DosErrorFromWin32(error);
}

File File::OpenForReading(const std::string& path, bool held) {
    // A held file may be read, renamed or deleted by others, never written.
    const DWORD share =
        FILE_SHARE_READ | FILE_SHARE_DELETE | (held ? 0 : static_cast<DWORD>(FILE_SHARE_WRITE));
    const HANDLE h = ::CreateFileW(win32::Widen(path).c_str(), GENERIC_READ, share, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    File file(-1, path);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        file.error_ = win32::ErrnoFromWin32(error);
        file.dos_error_ = win32::DosErrorFromWin32(error);
        return file;
    }
    // A pipe or a device planted under the name is not a file.
    if (::GetFileType(h) != FILE_TYPE_DISK) {
        ::CloseHandle(h);
        file.error_ = EINVAL;
        file.dos_error_ = 31;
        return file;
    }
    const int fd = FdFromHandle(h, _O_RDONLY);
    if (fd < 0) {
        file.error_ = EMFILE;
        file.dos_error_ = 4;
        return file;
    }
    file.fd_ = fd;
    file.open_result_ = fd;
    return file;
}

File File::Create(const std::string& path) {
    const std::wstring wide = win32::Widen(path);
    auto create = [&] {
        // CREATE_NEW fails on any name that exists, a link included.
        return ::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                             CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                             nullptr);
    };
    HANDLE h = create();
    if (h == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_FILE_EXISTS) {
        // Only a plain file is removed and made afresh.
        const DWORD attributes = Attributes(path);
        if (attributes == INVALID_FILE_ATTRIBUTES) win32::ThrowError(::GetLastError(), path);
        if (IsReparsePoint(attributes))
            throw EInOutError(ELOOP, path + ": refusing to write through a link");
        if (attributes & FILE_ATTRIBUTE_DIRECTORY)
            throw EInOutError(EPERM, path + ": refusing to replace a directory");
        if (attributes & FILE_ATTRIBUTE_READONLY)
            ::SetFileAttributesW(wide.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
        if (!::DeleteFileW(wide.c_str())) win32::ThrowError(::GetLastError(), path);
        h = create();
    }
    if (h == INVALID_HANDLE_VALUE) win32::ThrowError(::GetLastError(), path);
    const int fd = FdFromHandle(h, _O_RDWR);
    if (fd < 0) ThrowErrno(EMFILE, path);
    return File(fd, path);
}

std::size_t File::Read(void* buffer, std::size_t n) {
    const unsigned chunk = static_cast<unsigned>(std::min<std::size_t>(n, 1u << 30));
    const int got = ::_read(fd_, buffer, chunk);
    if (got < 0) ThrowErrno(errno, path_);
    return static_cast<std::size_t>(got);
}

long files_os::WriteSome(int fd, const void* buffer, std::size_t n) {
    return ::_write(fd, buffer, static_cast<unsigned>(std::min<std::size_t>(n, 1u << 30)));
}

void File::Seek(std::int64_t offset) {
    if (::_lseeki64(fd_, offset, SEEK_SET) < 0) ThrowErrno(errno, path_);
}

bool File::SeekFromEnd(std::int64_t offset) {
    return ::_lseeki64(fd_, offset, SEEK_END) >= 0;
}

std::int64_t File::Position() const {
    const std::int64_t at = ::_lseeki64(fd_, 0, SEEK_CUR);
    if (at < 0) ThrowErrno(errno, path_);
    return at;
}

std::uint32_t File::DosTime() const {
    BY_HANDLE_FILE_INFORMATION info{};
    FILETIME local{};
    WORD date = 0, time = 0;
    if (!HandleInformation(fd_, info) ||
        !::FileTimeToLocalFileTime(&info.ftLastWriteTime, &local) ||
        !::FileTimeToDosDateTime(&local, &date, &time))
        return 0;
    return static_cast<std::uint32_t>(date) << 16 | time;
}

FileIdentity File::Identity() const {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!HandleInformation(fd_, info)) win32::ThrowError(::GetLastError(), path_);
    return {info.dwVolumeSerialNumber,
            static_cast<std::uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow};
}

std::int64_t File::Size() const {
    const std::int64_t size = ::_filelengthi64(fd_);
    if (size < 0) ThrowErrno(errno, path_);
    return size;
}

void File::Close() {
    if (fd_ < 0) return;
    const int fd = fd_;
    fd_ = -1;
    if (::_close(fd) != 0) ThrowErrno(errno, path_);
}

std::int64_t FileSize(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(win32::Widen(path).c_str(), GetFileExInfoStandard, &data))
        return -1;
    return static_cast<std::int64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
}

bool FileExists(const std::string& path) {
    return Attributes(path) != INVALID_FILE_ATTRIBUTES;
}

void SetReadOnly(const std::string& path) {
    ChangeAttributes(path, FILE_ATTRIBUTE_READONLY, 0);
}

void SetHidden(const std::string& path) {
    ChangeAttributes(path, FILE_ATTRIBUTE_HIDDEN, 0);
}

void ClearAttributes(const std::string& path) {
    ChangeAttributes(path, 0, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
}

bool DeleteFile(const std::string& path) {
    return ::DeleteFileW(win32::Widen(path).c_str()) != 0;
}

void SetMode(const std::string& path, unsigned) {
    // Windows runs any .exe; there are no mode bits to set.
    if (!FileExists(path)) win32::ThrowError(::GetLastError(), path);
}

void RenameFile(const std::string& from, const std::string& to) {
    if (!::MoveFileExW(win32::Widen(from).c_str(), win32::Widen(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        win32::ThrowError(::GetLastError(), to);
}

std::string MakeScratchDir(std::string_view prefix) {
    std::string folder = TempFolder();
    folder.pop_back();
    return run_dir_os::MakeFreshDirectory(folder, std::string(prefix) + "-");
}

void RemoveTree(const std::string& path) {
    const DWORD attributes = Attributes(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    const std::wstring wide = win32::Widen(path);
    // A link is removed itself; what it points to is left alone.
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !IsReparsePoint(attributes)) {
        WIN32_FIND_DATAW entry{};
        const HANDLE search = ::FindFirstFileW((wide + L"\\*").c_str(), &entry);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = entry.cFileName;
                if (name != L"." && name != L"..") RemoveTree(path + "/" + win32::Narrow(name));
            } while (::FindNextFileW(search, &entry));
            ::FindClose(search);
        }
    }
    if (attributes & FILE_ATTRIBUTE_READONLY)
        ::SetFileAttributesW(wide.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        ::RemoveDirectoryW(wide.c_str());
    else
        ::DeleteFileW(wide.c_str());
}

} // namespace tollander::platform
