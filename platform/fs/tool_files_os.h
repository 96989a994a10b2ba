// What the portable half of tool_files.h (tool_files.cpp) needs from the
// system; one implementation per system (tool_files_posix.cpp).
#pragma once

#include <cstdio>
#include <ctime>
#include <optional>
#include <string>

namespace tollander::platform::tool_files_os {

// The characters that end a path's directory part.
extern const char* const kSeparators;

// A new file at `path` (mode for its permissions where the system has
// them), open for writing and noted as unfinished; nullptr when the name is
// taken. Throws EInOutError about `target` for any other failure.
std::FILE* CreateNew(const std::string& path, unsigned mode, const std::string& target);

// The unfinished file an interrupt removes; "" for none.
void NoteUnfinished(const std::string& path);

// Puts the stream's data on the disk and, when given, stamps the file with
// the modification time `when`. Throws EInOutError about `target`.
void SyncAndStamp(std::FILE* stream, std::optional<std::time_t> when, const std::string& target);

} // namespace tollander::platform::tool_files_os
