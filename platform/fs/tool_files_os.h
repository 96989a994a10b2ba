// What the portable half of tool_files.h (tool_files.cpp) needs from the
// system; one implementation per system (tool_files_posix.cpp).
#pragma once

#include <ctime>
#include <optional>
#include <string>

namespace tollander::platform::tool_files_os {

// A new file at `path` (mode for its permissions where the system has
// them), open for reading and writing and noted as unfinished: its
// descriptor, or -1 when the name is taken. Throws EInOutError about
// `target` for any other failure.
int CreateNew(const std::string& path, unsigned mode, const std::string& target);

// The unfinished file an interrupt removes; "" for none.
void NoteUnfinished(const std::string& path);

// Puts the file's data on the disk and, when given, stamps the file with
// the modification time `when`. Throws EInOutError about `target`.
void SyncAndStamp(int fd, std::optional<std::time_t> when, const std::string& target);

} // namespace tollander::platform::tool_files_os
