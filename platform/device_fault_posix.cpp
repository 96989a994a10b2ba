// The fault advice that depends on POSIX: who may open a device node.
#include "platform/device_fault_os.h"

#include <grp.h>
#include <sys/stat.h>

namespace tollander::platform::device_fault_os {

namespace {

// The group whose members may open `device`: its own group when that group
// may read and write it, else the usual one for serial devices.
std::string access_group(const std::string& device) {
    struct stat st {};
    if (!device.empty() && ::stat(device.c_str(), &st) == 0 && st.st_gid != 0 &&
        (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP))
        if (const group* g = ::getgrgid(st.st_gid)) return g->gr_name;
    return "dialout";
}

} // namespace

std::string permission_advice(const std::string& device) {
    // A new group membership counts only for sessions started after it.
    const std::string group = access_group(device);
    return "add yourself to the " + group + " group: sudo usermod -aG " + group +
           " \"$USER\", then log out and in again";
}

} // namespace tollander::platform::device_fault_os
