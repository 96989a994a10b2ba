// The file search on Windows: FindFirstFileW with Windows' own wildcards,
// directories filtered out by their attribute.
#include "platform/fs/file_search.h"

#include "platform/fs/file_search_os.h"
#include "platform/text_win32.h"

#include <windows.h>


namespace tollander::platform {

namespace {

bool DirectoryExists(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesW(win32::Widen(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

} // namespace

const char* const file_search_os::kWildcards = "*?";

bool file_search_os::IsDirectory(const std::string& path) {
    return DirectoryExists(path);
}

int file_search_os::Probe(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesW(win32::Widen(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? kProbeDirectory : kProbeFile;
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return kProbeMissing;
    return -win32::DosErrorFromWin32(error);
}

int file_search_os::ForEachFile(const std::string& directory, const std::string&,
                                const std::string& mask, const std::function<void(std::string)>& each) {
    WIN32_FIND_DATAW entry{};
    const HANDLE search = ::FindFirstFileExW(win32::Widen(mask).c_str(), FindExInfoBasic, &entry,
                                             FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (!DirectoryExists(directory)) return kSearchNoDirectory;
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES) return kSearchNoMatch;
        if (error == ERROR_PATH_NOT_FOUND || error == ERROR_DIRECTORY) return kSearchNoDirectory;
        return -win32::DosErrorFromWin32(error);
    }
    do {
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) each(win32::Narrow(entry.cFileName));
    } while (::FindNextFileW(search, &entry));
    ::FindClose(search);
    return 0;
}

} // namespace tollander::platform
