// On Windows the built tools lie beside the test program, and the command
// shell that runs them wants backslashes.
#pragma once

#ifdef _WIN32
#include "platform/fs/self_path.h"

#include <filesystem>
#include <string>

namespace tollander::testing {

inline std::string NativePath(const std::filesystem::path& path) {
    return std::filesystem::path(path).make_preferred().string();
}

inline std::string WindowsTool(const std::string& tool) {
    return NativePath(std::filesystem::path(platform::SelfPath()).parent_path() / (tool + ".exe"));
}

} // namespace tollander::testing
#endif
