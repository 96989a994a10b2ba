// DOS-style error numbers, the codes the protocol reports for a file it
// cannot find or read: 2 file not found, 3 path not found, 5 access denied
// and so on, with the same meaning on every system.
#pragma once

namespace tollander::platform {

// DOS-style error number (positive) for an errno value.
int DosErrorFromErrno(int err);

} // namespace tollander::platform
