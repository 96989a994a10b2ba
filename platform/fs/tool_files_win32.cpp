// The command-line tools' files on Windows: inputs must be plain disk files,
// outputs are written under a fresh name beside the target (CREATE_NEW, never
// through a reparse point) and moved over it when complete.
#include "platform/fs/tool_files.h"

#include "platform/fs/tool_files_os.h"
#include "platform/text_win32.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <mutex>
#include <random>

namespace tollander::platform {

namespace {

std::string KindOf(DWORD attributes) {
    return attributes & FILE_ATTRIBUTE_DIRECTORY ? "a directory" : "";
}

FileIdentity IdentityOf(const BY_HANDLE_FILE_INFORMATION& info) {
    return {info.dwVolumeSerialNumber,
            static_cast<std::uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow};
}

std::optional<FileIdentity> IdentityOfName(const std::string& path) {
    const HANDLE h = ::CreateFileW(win32::Widen(path).c_str(), FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known = ::GetFileInformationByHandle(h, &info) != 0;
    ::CloseHandle(h);
    if (!known) return std::nullopt;
    return IdentityOf(info);
}

// The output being written, for the console control handler.
std::mutex unfinished_mutex;
std::wstring unfinished;

} // namespace

void tool_files_os::NoteUnfinished(const std::string& path) {
    std::lock_guard lock(unfinished_mutex);
    unfinished = path.empty() ? std::wstring() : win32::Widen(path);
}

namespace {

BOOL WINAPI RemoveUnfinished(DWORD) {
    {
        std::lock_guard lock(unfinished_mutex);
        if (!unfinished.empty()) ::DeleteFileW(unfinished.c_str());
    }
    return FALSE; // and the program ends as Ctrl+C or closing would end it
}

} // namespace

NameInfo ExamineName(const std::string& path) {
    NameInfo info;
    const DWORD attributes = ::GetFileAttributesW(win32::Widen(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return info;
    info.exists = true;
    info.link = attributes & FILE_ATTRIBUTE_REPARSE_POINT;
    if (!info.link) info.kind = KindOf(attributes);
    info.target = IdentityOfName(path);
    return info;
}

File File::OpenInput(const std::string& path) {
    const HANDLE h = ::CreateFileW(win32::Widen(path).c_str(), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_ACCESS_DENIED &&
            (::GetFileAttributesW(win32::Widen(path).c_str()) & FILE_ATTRIBUTE_DIRECTORY))
            throw EInOutError(EISDIR, path + ": not a regular file (a directory)");
        win32::ThrowError(error, path);
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileType(h) != FILE_TYPE_DISK || !::GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        ::CloseHandle(h);
        throw EInOutError(EINVAL, path + ": not a regular file (a device)");
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        ::CloseHandle(h);
        throw EInOutError(EMFILE, path + ": too many open files");
    }
    return File(fd, path);
}

int tool_files_os::CreateNew(const std::string& path, unsigned, const std::string& target) {
    const HANDLE h = ::CreateFileW(win32::Widen(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                   nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        if (::GetLastError() == ERROR_FILE_EXISTS) return -1;
        win32::ThrowError(::GetLastError(), target);
    }
    NoteUnfinished(path);
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDWR | _O_BINARY);
    if (fd < 0) {
        ::CloseHandle(h);
        ::DeleteFileW(win32::Widen(path).c_str());
        throw EInOutError(EMFILE, target + ": too many open files");
    }
    return fd;
}

void tool_files_os::SyncAndStamp(int fd, std::optional<std::time_t> when,
                                 const std::string& target) {
    const HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    if (!::FlushFileBuffers(h)) win32::ThrowError(::GetLastError(), target);
    if (when) {
        const std::int64_t ticks = (static_cast<std::int64_t>(*when) + 11644473600LL) * 10000000;
        const FILETIME ft{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
        if (!::SetFileTime(h, nullptr, &ft, &ft)) win32::ThrowError(::GetLastError(), target);
    }
}

void RemoveUnfinishedOutputOnSignals() {
    ::SetConsoleCtrlHandler(RemoveUnfinished, TRUE);
}

} // namespace tollander::platform
