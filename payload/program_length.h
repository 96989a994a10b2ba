// Where the program's own part of an executable file ends, as its headers
// give it: everything the loader, a debugger or a signature check reads
// lies before that point, and a flasher's payload begins there. Both
// formats are read on any host, so a tool on one system can judge a
// flasher built for the other.
//   ELF (32- and 64-bit, little-endian): the file header, the program and
//     section header tables, every segment and every section with bytes in
//     the file.
//   PE: the headers, every section's raw data, the symbol and string
//     tables when present, the certificate table when present.
#pragma once

#include "platform/fs/files.h"

#include <cstdint>
#include <optional>

namespace tollander::payload {

// The length, or nullopt for a file that is neither format (or one whose
// headers contradict themselves). A length beyond the file's size means the
// file was cut short. Read errors of `file` propagate.
std::optional<std::int64_t> ProgramLength(platform::File& file);

// Whether the file is a program and nothing more: it ends exactly where its
// headers say, so nothing was ever appended to it (a flasher as built, never
// packed). False for a file of neither format.
bool IsBareProgram(platform::File& file);

} // namespace tollander::payload
