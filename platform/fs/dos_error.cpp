// DOS-style error numbers for errno values, the same on every system.
#include "platform/fs/dos_error.h"

#include <cerrno>

namespace tollander::platform {

int DosErrorFromErrno(int err) {
    switch (err) {
    case ENOENT:
        return 2;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
        return 3;
    case EMFILE:
    case ENFILE:
        return 4;
    case EACCES:
    case EPERM:
    case EROFS:
        return 5;
    case EBADF:
        return 6;
    case ENOMEM:
        return 8;
    case EIO:
        return 30;
    default:
        return 31;
    }
}

} // namespace tollander::platform
