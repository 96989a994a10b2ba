// The fault advice that depends on POSIX: who may open a device node, and
// what the user can do about it.
#include "platform/serial/device_fault_os.h"

#include <algorithm>
#include <cstdio>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tollander::platform::device_fault_os {

namespace {

constexpr mode_t kGroupReadWrite = S_IRGRP | S_IWGRP;

std::string GroupName(gid_t gid) {
    if (const group* g = ::getgrgid(gid)) return g->gr_name;
    return std::to_string(gid);
}

std::string OwnerName(uid_t uid) {
    if (const passwd* p = ::getpwuid(uid)) return p->pw_name;
    return std::to_string(uid);
}

// This session's groups: the effective group and the supplementary ones.
bool InSessionGroup(gid_t gid) {
    if (::getegid() == gid) return true;
    const int n = ::getgroups(0, nullptr);
    if (n <= 0) return false;
    std::vector<gid_t> groups(static_cast<std::size_t>(n));
    const int got = ::getgroups(n, groups.data());
    return got > 0 && std::find(groups.begin(), groups.begin() + got, gid) != groups.begin() + got;
}

// The user's groups as the system's group database has them now, which a
// session started before a change does not see.
bool InDatabaseGroup(gid_t gid) {
    const passwd* p = ::getpwuid(::geteuid());
    if (!p) return false;
    if (p->pw_gid == gid) return true;
    int n = 64;
    std::vector<gid_t> groups;
    for (int tries = 0; tries < 2; ++tries) {
        groups.resize(static_cast<std::size_t>(n));
        if (::getgrouplist(p->pw_name, p->pw_gid, groups.data(), &n) >= 0) {
            groups.resize(static_cast<std::size_t>(n));
            return std::find(groups.begin(), groups.end(), gid) != groups.end();
        }
    }
    return false;
}

std::string JoinAdvice(const std::string& group) {
    return "add yourself to the " + group + " group: sudo usermod -aG " + group +
           " \"$USER\", then log out and in again";
}

} // namespace

std::string PermissionAdvice(const std::string& device) {
    struct stat st {};
    if (device.empty() || ::stat(device.c_str(), &st) != 0) return JoinAdvice("dialout");
    const std::string group = GroupName(st.st_gid);
    // The device's own group may open it, and the user is not in it here.
    if (st.st_gid != 0 && (st.st_mode & kGroupReadWrite) == kGroupReadWrite &&
        !InSessionGroup(st.st_gid)) {
        // A new group membership counts only for sessions started after it.
        if (InDatabaseGroup(st.st_gid))
            return "you are in the " + group + " group, but this session began before you " +
                   "joined it; log out and in again";
        return JoinAdvice(group);
    }
    if (st.st_uid == ::geteuid()) return "it is yours: chmod u+rw " + device;
    // No group the user could join opens it (a device of root's alone, say),
    // or the user is in its group and is still refused.
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return "only the administrator can let you open it (" + OwnerName(st.st_uid) + ":" + group +
           " " + mode + "); ask for it to be given to the dialout group, for instance by a " +
           "udev rule";
}

} // namespace tollander::platform::device_fault_os
