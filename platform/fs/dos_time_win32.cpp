// A file's packed DOS date and time on Windows: its last-write time.
#include "platform/fs/dos_time.h"

#include "platform/text_win32.h"

#include <windows.h>

namespace tollander::platform {

namespace {

// FILETIME counts 100 ns from 1601; time_t seconds from 1970.
constexpr std::int64_t kEpochDifference = 11644473600LL;

std::time_t TimeTFromFiletime(const FILETIME& ft) {
    const std::int64_t ticks = (static_cast<std::int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return static_cast<std::time_t>(ticks / 10000000 - kEpochDifference);
}

FILETIME FiletimeFromTimeT(std::time_t t) {
    const std::int64_t ticks = (static_cast<std::int64_t>(t) + kEpochDifference) * 10000000;
    return {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

} // namespace

std::uint32_t ReadFileDosTime(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(win32::Widen(path).c_str(), GetFileExInfoStandard, &data))
        return 0;
    return DosTimeFromTimeT(TimeTFromFiletime(data.ftLastWriteTime));
}

bool WriteFileDosTime(const std::string& path, std::uint32_t packed) {
    std::time_t t;
    if (!TimeTFromDosTime(packed, t)) return false;
    const HANDLE h = ::CreateFileW(win32::Widen(path).c_str(), FILE_WRITE_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const FILETIME ft = FiletimeFromTimeT(t);
    const bool ok = ::SetFileTime(h, nullptr, &ft, &ft) != 0;
    ::CloseHandle(h);
    return ok;
}

} // namespace tollander::platform
