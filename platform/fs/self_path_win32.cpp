#include "platform/fs/self_path.h"

#include "platform/text_win32.h"

#include <windows.h>

namespace tollander::platform {

std::string SelfPath() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(),
                                             static_cast<DWORD>(buffer.size()));
        if (n == 0) return {};
        if (n < buffer.size()) return win32::NarrowPath(std::wstring_view(buffer.data(), n));
        buffer.resize(buffer.size() * 2); // a long path: try again with room
    }
}

SelfFile OpenSelf() {
    std::string path = SelfPath();
    auto file = std::make_shared<File>(File::OpenHeld(path));
    return {std::move(path), std::move(file)};
}

} // namespace tollander::platform
