// Windows only: paths are UTF-8 inside the program and wide at every Windows
// call, and Windows' errors keep its own words.
#pragma once

#include <string>
#include <string_view>

namespace tollander::platform::win32 {

std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view wide);
// Backslashes become slashes, so the rest of the program splits paths one way
// (Windows takes either).
std::string NarrowPath(std::wstring_view wide);
// FormatMessage's text for a Windows error code, in the user's language and
// without the trailing line break, then the code: "Access is denied (error
// 5)"; "error N" when Windows has no text for it.
std::string SystemMessage(unsigned long code);
// errno value for a Windows error code, for the callers that speak errno.
int ErrnoFromWin32(unsigned long code);
// DOS-style error number (dos_error.h) for a Windows error code: Windows'
// numbers are the DOS ones for the cases that matter.
int DosErrorFromWin32(unsigned long code);
// Throws EInOutError for a Windows error: its errno value, and "WHAT: " and
// Windows' own words as the message.
[[noreturn]] void ThrowError(unsigned long code, const std::string& what);

} // namespace tollander::platform::win32
