// Files that outlive a run, on Windows: the state directory under the user's
// local application data, whole-file replacement with MoveFileExW, and a lock
// with LockFileEx.
#include "platform/fs/state_dir.h"

#include "platform/fs/io_error.h"
#include "platform/fs/state_dir_os.h"
#include "platform/text_win32.h"

#include <windows.h>
#undef ReplaceFile // ours, not the Windows macro

#include <ctime>

namespace tollander::platform {

namespace {

std::string DirectoryOf(const std::string& path) {
    const auto slash = path.find_last_of("/\\");
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

} // namespace

std::string StateDirPath() {
    const wchar_t* local = ::_wgetenv(L"LOCALAPPDATA");
    if (local == nullptr || local[0] == L'\0') return {};
    return win32::NarrowPath(local) + "/tollander-flash";
}

void MakeDirectories(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesW(win32::Widen(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) throw EInOutError::FromErrno(ENOTDIR, path);
        return;
    }
    const std::string parent = DirectoryOf(path);
    if (parent != path && parent.size() > 2) MakeDirectories(parent);
    if (!::CreateDirectoryW(win32::Widen(path).c_str(), nullptr) &&
        ::GetLastError() != ERROR_ALREADY_EXISTS)
        win32::ThrowError(::GetLastError(), path);
}

std::string ReadWholeFile(const std::string& path) {
    const HANDLE h = ::CreateFileW(win32::Widen(path).c_str(), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) return {};
        win32::ThrowError(error, path);
    }
    std::string text;
    char buffer[8192];
    DWORD n = 0;
    while (::ReadFile(h, buffer, sizeof buffer, &n, nullptr) && n > 0)
        text.append(buffer, n);
    ::CloseHandle(h);
    return text;
}

void ReplaceFile(const std::string& path, const std::string& contents) {
    const std::string temp = path + "." + std::to_string(::GetCurrentProcessId()) + ".new";
    const std::wstring wide_temp = win32::Widen(temp);
    const HANDLE h = ::CreateFileW(wide_temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) win32::ThrowError(::GetLastError(), temp);
    DWORD put = 0;
    // The data reaches the disk before the name does.
    const bool written = ::WriteFile(h, contents.data(), static_cast<DWORD>(contents.size()), &put,
                                     nullptr) &&
                         put == contents.size() && ::FlushFileBuffers(h);
    const DWORD error = written ? 0 : ::GetLastError();
    ::CloseHandle(h);
    if (!written ||
        !::MoveFileExW(wide_temp.c_str(), win32::Widen(path).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD reason = written ? ::GetLastError() : error;
        ::DeleteFileW(wide_temp.c_str());
        win32::ThrowError(reason, path);
    }
}

FileLock::FileLock(const std::string& path) {
    const HANDLE h = ::CreateFileW(win32::Widen(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) win32::ThrowError(::GetLastError(), path);
    OVERLAPPED ov{};
    if (!::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &ov)) {
        const DWORD error = ::GetLastError();
        ::CloseHandle(h);
        win32::ThrowError(error, path);
    }
    // The descriptor slot keeps the handle; closing it releases the lock.
    fd_ = static_cast<int>(reinterpret_cast<intptr_t>(h));
}

FileLock::~FileLock() {
    ::CloseHandle(reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd_)));
}

int ProcessId() {
    return static_cast<int>(::GetCurrentProcessId());
}

state_dir_os::LocalTime state_dir_os::LocalTimeAt(std::chrono::system_clock::time_point when) {
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    LocalTime local;
    localtime_s(&local.tm, &t);
    // The C runtime's tm has no offset; it is worked out from UTC instead.
    std::tm here = local.tm;
    std::tm utc{};
    gmtime_s(&utc, &t);
    utc.tm_isdst = here.tm_isdst;
    local.utc_offset_minutes =
        static_cast<long>(std::difftime(std::mktime(&here), std::mktime(&utc)) / 60);
    return local;
}

} // namespace tollander::platform
