// What Linux tells about a serial device without opening it: sysfs for its
// names, driver and USB identity, /proc for the processes that hold it.
#include "platform/serial/port_info.h"

#include "platform/serial/own_terminal_posix.h"
#include "platform/serial/port_info_os.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace tollander::platform {

namespace {

std::string RealPath(const std::string& path) {
    char buffer[PATH_MAX];
    return ::realpath(path.c_str(), buffer) ? std::string(buffer) : std::string();
}

std::string BaseName(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ParentOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

// The first line of a small text file ("" when it cannot be read).
std::string FirstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == ' '))
        line.pop_back();
    return line;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::vector<int> ProcessIds(const std::string& proc_dir) {
    std::vector<int> pids;
    DIR* dir = ::opendir(proc_dir.c_str());
    if (!dir) return pids;
    while (const dirent* entry = ::readdir(dir)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (end != entry->d_name && *end == '\0' && pid > 0) pids.push_back(static_cast<int>(pid));
    }
    ::closedir(dir);
    std::sort(pids.begin(), pids.end());
    return pids;
}

// Calls `fn(fd_path, fd_name)` for each descriptor of `pid` we may look at.
template <typename Fn> void ForEachFd(const std::string& proc_dir, int pid, Fn&& fn) {
    const std::string fd_dir = proc_dir + "/" + std::to_string(pid) + "/fd";
    DIR* dir = ::opendir(fd_dir.c_str());
    if (!dir) return; // another user's process, or gone
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        if (fn(fd_dir + "/" + entry->d_name, std::string(entry->d_name))) break;
    }
    ::closedir(dir);
}

// The pseudo-terminal number of a slave device, or -1.
int PtyIndex(dev_t rdev) {
    const unsigned m = major(rdev);
    if (m < 136 || m > 143) return -1;
    return static_cast<int>((m - 136) * 256 + minor(rdev));
}

// The process holding master `index` of a pseudo-terminal (its far end).
std::set<int> PtyFarEnds(const std::string& proc_dir, const std::vector<int>& pids, int index) {
    std::set<int> far;
    const std::string wanted = "tty-index:\t" + std::to_string(index);
    for (const int pid : pids) {
        ForEachFd(proc_dir, pid, [&](const std::string& fd_path, const std::string& fd) {
            char target[PATH_MAX];
            const ssize_t n = ::readlink(fd_path.c_str(), target, sizeof target - 1);
            if (n <= 0) return false;
            const std::string link(target, static_cast<std::size_t>(n));
            if (link != "/dev/ptmx" && link != "/dev/pts/ptmx") return false;
            std::ifstream info(proc_dir + "/" + std::to_string(pid) + "/fdinfo/" + fd);
            for (std::string line; std::getline(info, line);)
                if (line == wanted) {
                    far.insert(pid);
                    return true;
                }
            return false;
        });
    }
    return far;
}

// The pid of a process (other than this one) that holds an exclusive flock
// on the file, from /proc/locks; 0 when none is seen.
int FlockHolder(const std::string& proc_dir, const struct stat& st) {
    std::ifstream locks(proc_dir + "/locks");
    char wanted[64];
    std::snprintf(wanted, sizeof wanted, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    for (std::string line; std::getline(locks, line);) {
        // "1: FLOCK  ADVISORY  WRITE 812 00:1a:3 0 EOF"; waiters carry "->".
        std::istringstream fields(line);
        std::string id, kind, mode, access, file;
        int pid = 0;
        if (!(fields >> id >> kind) || kind == "->") continue;
        if (!(fields >> mode >> access >> pid >> file)) continue;
        if (kind == "FLOCK" && access == "WRITE" && file == wanted && pid != ::getpid()) return pid;
    }
    return 0;
}

} // namespace

std::vector<DeviceHolder> DeviceHolders(const std::string& device, const std::string& proc_dir) {
    std::vector<DeviceHolder> holders;
    struct stat st {};
    if (device.empty() || ::stat(device.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return holders;
    const auto pids = ProcessIds(proc_dir);
    std::set<int> skip{static_cast<int>(::getpid())};
    if (const int index = PtyIndex(st.st_rdev); index >= 0)
        skip.merge(PtyFarEnds(proc_dir, pids, index));
    for (const int pid : pids) {
        if (skip.count(pid)) continue;
        bool holds = false;
        ForEachFd(proc_dir, pid, [&](const std::string& fd_path, const std::string&) {
            struct stat fd_st {};
            holds = ::stat(fd_path.c_str(), &fd_st) == 0 && S_ISCHR(fd_st.st_mode) &&
                    fd_st.st_rdev == st.st_rdev;
            return holds;
        });
        if (holds)
            holders.push_back({pid, FirstLine(proc_dir + "/" + std::to_string(pid) + "/comm")});
    }
    return holders;
}

std::vector<SystemPort> port_info_os::SystemPorts() {
    return {}; // the port map finds the ports in sysfs
}

void port_info_os::Describe(PortFacts& facts, const SystemRoots& roots) {
    const std::string& device = facts.device;
    facts.resolved = RealPath(device);
    struct stat st {};
    if (facts.resolved.empty() || ::stat(facts.resolved.c_str(), &st) != 0) {
        facts.resolved = device;
        facts.access = DeviceFault::Missing;
        return;
    }
    if (!S_ISCHR(st.st_mode)) {
        facts.access = DeviceFault::NotSerial;
        return;
    }

    // sysfs: the tty's device, its driver, and the USB device above it.
    const std::string name = BaseName(facts.resolved);
    const std::string device_dir = RealPath(roots.sysfs_tty + "/" + name + "/device");
    if (!device_dir.empty()) {
        // The serial core puts its own port and controller devices (bus
        // "serial-base") between a UART and its driver.
        for (std::string dir = device_dir; !dir.empty() && dir != "/sys"; dir = ParentOf(dir)) {
            if (BaseName(RealPath(dir + "/subsystem")) == "serial-base") continue;
            facts.driver = BaseName(RealPath(dir + "/driver"));
            break;
        }
        for (std::string dir = device_dir; !dir.empty() && dir != "/sys"; dir = ParentOf(dir)) {
            if (!Exists(dir + "/idVendor")) continue;
            facts.usb_vendor_id = FirstLine(dir + "/idVendor");
            facts.usb_product_id = FirstLine(dir + "/idProduct");
            facts.manufacturer = FirstLine(dir + "/manufacturer");
            facts.product = FirstLine(dir + "/product");
            break;
        }
    }
    if (DIR* dir = ::opendir(roots.by_id.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            const std::string link = roots.by_id + "/" + entry->d_name;
            if (RealPath(link) == facts.resolved) facts.by_id.push_back(link);
        }
        ::closedir(dir);
        std::sort(facts.by_id.begin(), facts.by_id.end());
    }

    if (::faccessat(AT_FDCWD, facts.resolved.c_str(), R_OK | W_OK, AT_EACCESS) != 0)
        facts.access = errno == EACCES || errno == EPERM || errno == EROFS ? DeviceFault::Permission
                                                                           : DeviceFault::Other;
    facts.holders = DeviceHolders(facts.resolved, roots.proc);
    if (facts.access == DeviceFault::None && IsOwnTerminal(st.st_rdev))
        facts.access = DeviceFault::OwnTerminal;
    if (facts.access == DeviceFault::None && FlockHolder(roots.proc, st) != 0)
        facts.access = DeviceFault::Busy;
    return;
}

} // namespace tollander::platform
