// The file search on Windows: FindFirstFileW with Windows' own wildcards,
// directories filtered out by their attribute.
#include "platform/fs/file_search.h"

#include "platform/fs/dos_error.h"
#include "platform/fs/file_search_os.h"
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

const char* const file_search_os::kSeparators = "/\\";
const char* const file_search_os::kWildcards = "*?";

bool file_search_os::IsDirectory(const std::string& path) {
    return is_directory(path);
}

int file_search_os::Probe(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesW(win32::Widen(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? kProbeDirectory : kProbeFile;
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return kProbeMissing;
    return -dos_error_from_win32(error);
}

int file_search_os::ForEachFile(const std::string& directory, const std::string&,
                                const std::string& mask, const std::function<void(std::string)>& each) {
    WIN32_FIND_DATAW entry{};
    const HANDLE search = ::FindFirstFileExW(win32::Widen(mask).c_str(), FindExInfoBasic, &entry,
                                             FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (!is_directory(directory)) return kSearchNoDirectory;
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES) return kSearchNoMatch;
        if (error == ERROR_PATH_NOT_FOUND || error == ERROR_DIRECTORY) return kSearchNoDirectory;
        return -dos_error_from_win32(error);
    }
    do {
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) each(win32::Narrow(entry.cFileName));
    } while (::FindNextFileW(search, &entry));
    ::FindClose(search);
    return 0;
}

long file_search_os::ReadSome(int fd, void* buffer, std::size_t n) {
    const int r = ::_read(fd, buffer, static_cast<unsigned>(std::min<std::size_t>(n, 1u << 30)));
    return r < 0 ? -dos_error_from_errno(errno) : r;
}

void file_search_os::Close(int fd) {
    ::_close(fd);
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

} // namespace tollander::platform
