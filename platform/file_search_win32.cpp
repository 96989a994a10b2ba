// The file search on Windows: FindFirstFileW with Windows' own wildcards,
// directories filtered out by their attribute.
#include "platform/file_search.h"

#include "platform/text_win32.h"

#include <windows.h>

#include <cerrno>
#include <fcntl.h>
#include <io.h>

namespace tollander::platform {

namespace {

// Windows' error numbers are the DOS ones for the cases that matter.
int dos_error_from_win32(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_TOO_MANY_OPEN_FILES:
    case ERROR_ACCESS_DENIED:
    case ERROR_INVALID_HANDLE:
    case ERROR_NOT_ENOUGH_MEMORY:
        return static_cast<int>(error);
    case ERROR_INVALID_NAME:
    case ERROR_DIRECTORY:
        return 3;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return 5;
    default:
        return 31;
    }
}

bool is_directory(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesW(win32::Widen(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::uint32_t pack_dos_date(const FILETIME& written) {
    FILETIME local{};
    WORD date = 0, time = 0;
    if (!::FileTimeToLocalFileTime(&written, &local) ||
        !::FileTimeToDosDateTime(&local, &date, &time))
        return 0;
    return static_cast<std::uint32_t>(date) << 16 | time;
}

} // namespace

int find_first_file(const std::string& mask, FoundFile& found) {
    const auto slash = mask.find_last_of("/\\");
    const std::string prefix = slash == std::string::npos ? "" : mask.substr(0, slash + 1);
    const std::string pattern = slash == std::string::npos ? mask : mask.substr(slash + 1);
    const std::string directory = prefix.empty() ? "." : prefix;

    if (pattern.find_first_of("*?") == std::string::npos) {
        const std::string path = prefix + pattern;
        const DWORD attributes =
            pattern.empty() ? INVALID_FILE_ATTRIBUTES : ::GetFileAttributesW(win32::Widen(path).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            if (attributes & FILE_ATTRIBUTE_DIRECTORY) return -2;
            found = {path, pattern};
            return 0;
        }
        const DWORD error = pattern.empty() ? ERROR_FILE_NOT_FOUND : ::GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
            return -dos_error_from_win32(error);
        return is_directory(directory) ? -2 : kSearchNoDirectory;
    }

    WIN32_FIND_DATAW entry{};
    const HANDLE search = ::FindFirstFileExW(win32::Widen(prefix + pattern).c_str(),
                                             FindExInfoBasic, &entry, FindExSearchNameMatch,
                                             nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (!is_directory(directory)) return kSearchNoDirectory;
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES)
            return is_directory(directory) ? kSearchNoMatch : kSearchNoDirectory;
        if (error == ERROR_PATH_NOT_FOUND || error == ERROR_DIRECTORY) return kSearchNoDirectory;
        return -dos_error_from_win32(error);
    }
    std::string best;
    bool matched = false;
    do {
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        std::string name = win32::Narrow(entry.cFileName);
        if (matched && name >= best) continue;
        best = std::move(name);
        matched = true;
    } while (::FindNextFileW(search, &entry));
    ::FindClose(search);
    if (!matched) return kSearchNoMatch;
    found = {prefix + best, best};
    return 0;
}

ReadOnlyFile::~ReadOnlyFile() {
    close();
}

int ReadOnlyFile::open(const std::string& path) {
    close();
    if (path.empty()) return -2;
    // Others may go on reading and writing the file while we send it.
    const HANDLE h = ::CreateFileW(win32::Widen(path).c_str(), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return -dos_error_from_win32(::GetLastError());
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known = ::GetFileInformationByHandle(h, &info) != 0;
    if (known && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        ::CloseHandle(h);
        return -5;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        ::CloseHandle(h);
        return -4;
    }
    fd_ = fd;
    size_ = known ? (static_cast<std::int64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow) : -1;
    dos_date_ = known ? pack_dos_date(info.ftLastWriteTime) : 0;
    return 0;
}

long ReadOnlyFile::read(void* buffer, std::size_t n) {
    if (fd_ < 0) return -6;
    auto* out = static_cast<unsigned char*>(buffer);
    std::size_t got = 0;
    while (got < n) {
        const int r = ::_read(fd_, out + got, static_cast<unsigned>(std::min<std::size_t>(n - got, 1u << 30)));
        if (r < 0) return -dos_error_from_errno(errno);
        if (r == 0) break;
        got += static_cast<std::size_t>(r);
    }
    return static_cast<long>(got);
}

void ReadOnlyFile::close() {
    if (fd_ >= 0) ::_close(fd_);
    fd_ = -1;
    size_ = -1;
    dos_date_ = 0;
}

} // namespace tollander::platform
