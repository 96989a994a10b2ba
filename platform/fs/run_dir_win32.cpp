// The run directory on Windows: made under the user's temporary folder, and
// held by a named mutex of the session that carries the directory's name.
// Windows drops the mutex when the process ends in any way, so an unheld
// directory is one whose run is gone.
#include "platform/fs/files.h"
#include "platform/fs/run_dir_os.h"
#include "platform/text_win32.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <random>

namespace tollander::platform::run_dir_os {

namespace {

class MutexHold final : public DirHold {
public:
    explicit MutexHold(HANDLE mutex) : mutex_(mutex) {}
    ~MutexHold() override { ::CloseHandle(mutex_); }
    MutexHold(const MutexHold&) = delete;
    MutexHold& operator=(const MutexHold&) = delete;

private:
    HANDLE mutex_;
};

// One name for one directory, however its path was spelled.
std::wstring MutexName(const std::string& path) {
    std::string key = path;
    std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) {
        return c == '\\' || c == '/' || c == ':' ? '_' : static_cast<char>(std::tolower(c));
    });
    return L"Local\\tollander-run-" + win32::Widen(key);
}

} // namespace

const char* PlaceSettings() {
    return "TMP (or TEMP)";
}

RunDirectoryPlace DefaultPlace() {
    std::string base = PrivateTempDirPath();
    const std::string parent = base.substr(0, base.find_last_of('/'));
    return {std::move(base), parent, "tollander-flash."};
}

bool PrepareBase(const std::string& base) {
    try {
        EnsurePrivateDir(base);
        return true;
    } catch (const EInOutError&) {
        return false;
    }
}

std::string MakeFreshDirectory(const std::string& parent, const std::string& prefix) {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string path = parent + "/" + prefix + std::to_string(random() % 1000000000u);
        if (::CreateDirectoryW(win32::Widen(path).c_str(), nullptr)) return path;
        const DWORD error = ::GetLastError();
        if (error != ERROR_ALREADY_EXISTS)
            throw EInOutError(win32::ErrnoFromWin32(error),
                              parent + ": " + win32::SystemMessage(error));
    }
    throw EInOutError(EEXIST, parent + ": no fresh directory name left");
}

std::unique_ptr<DirHold> TryHold(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesW(win32::Widen(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return nullptr;
    const HANDLE mutex = ::CreateMutexW(nullptr, FALSE, MutexName(path).c_str());
    if (mutex == nullptr) return nullptr;
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        ::CloseHandle(mutex); // a live run holds it
        return nullptr;
    }
    return std::make_unique<MutexHold>(mutex);
}

} // namespace tollander::platform::run_dir_os
