// Every Windows program carries its manifest (common controls 6, aware of
// each monitor's scale, run as the invoker), the program's icon and a version
// resource from the project's version, as Windows itself reads them.
#include "tests/unit/windows_tools.h"
#include "tollander_version.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

namespace tollander::testing {
namespace {

// One string of the version resource's English block.
std::wstring VersionString(const std::vector<char>& block, const wchar_t* name) {
    void* value = nullptr;
    UINT length = 0;
    const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    if (!VerQueryValueW(block.data(), path.c_str(), &value, &length) || length == 0) return {};
    return std::wstring(static_cast<const wchar_t*>(value), length - 1);
}

std::wstring Wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

TEST(WindowsResources, EveryProgramCarriesItsManifestIconAndVersion) {
    struct Program {
        const char* name;
        const wchar_t* description;
    };
    for (const Program& p : {Program{"tollander-flash", L"Tollander flasher"},
                             Program{"tollander-flash-console", L"Tollander flasher, console"},
                             Program{"tollander-pack", L"Tollander flasher packer"},
                             Program{"tollander-lzss", L"Tollander LZSS codec"},
                             Program{"tollander-mkfirmware", L"Tollander sample firmware maker"}}) {
        SCOPED_TRACE(p.name);
        const std::wstring file = Wide(WindowsTool(p.name));
        HMODULE module = LoadLibraryExW(file.c_str(), nullptr,
                                        LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(module, nullptr) << "cannot load " << WindowsTool(p.name);

        HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
        ASSERT_NE(found, nullptr) << "no manifest";
        const char* text = static_cast<const char*>(LockResource(LoadResource(module, found)));
        const std::string manifest(text, SizeofResource(module, found));
        for (const char* part : {"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"",
                                 "PerMonitorV2", "level=\"asInvoker\""})
            EXPECT_NE(manifest.find(part), std::string::npos) << part << " missing from\n"
                                                               << manifest;
        EXPECT_NE(FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(14)), nullptr)
            << "no icon";
        FreeLibrary(module);

        DWORD ignored = 0;
        std::vector<char> version(GetFileVersionInfoSizeW(file.c_str(), &ignored));
        ASSERT_FALSE(version.empty()) << "no version resource";
        ASSERT_TRUE(GetFileVersionInfoW(file.c_str(), 0, static_cast<DWORD>(version.size()),
                                        version.data()));
        EXPECT_EQ(VersionString(version, L"ProductName"), L"Veltrane Tollander Flash Utility");
        EXPECT_EQ(VersionString(version, L"FileDescription"), p.description);
        EXPECT_EQ(VersionString(version, L"FileVersion"), Wide(TOLLANDER_VERSION));
        EXPECT_EQ(VersionString(version, L"ProductVersion"), Wide(TOLLANDER_VERSION));
    }
}

} // namespace
} // namespace tollander::testing
