// Diagnosing a port on POSIX: stat for what the name is, an open for permission and presence,
// tcgetattr for a terminal, flock for another holder, and /proc for which process that is.
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "platform/port_diagnosis.h"

namespace host::platform {

namespace {

// The command name of process `pid`, or empty.
std::string CommandName(long pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

// The first other process with a descriptor on the character device `device`, and its
// command name; 0 when none can be seen (other users' processes hide their descriptors).
long FindHolder(dev_t device, std::string* name) {
    namespace fs = std::filesystem;
    std::error_code error;
    const long self = static_cast<long>(getpid());
    for (const fs::directory_entry& process : fs::directory_iterator("/proc", error)) {
        const std::string pidText = process.path().filename().string();
        if (pidText.empty() || pidText.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const long pid = std::stol(pidText);
        if (pid == self) continue;
        std::error_code fdError;
        for (const fs::directory_entry& fd :
             fs::directory_iterator(process.path() / "fd", fdError)) {
            struct stat target {};
            // stat follows the descriptor's link to the file it has open: 0 or -1.
            if (stat(fd.path().c_str(), &target) != 0) continue;
            if (!S_ISCHR(target.st_mode) || target.st_rdev != device) continue;
            *name = CommandName(pid);
            return pid;
        }
    }
    return 0;
}

// The process holding a whole-file lock on the file `node` (as every opener through our serial
// layer does), from /proc/locks: lines such as "1: FLOCK  ADVISORY  WRITE 4711 00:18:3 0 EOF";
// waiters ("->") are passed over. 0 when no lock is listed.
long FindLocker(const struct stat& node) {
    std::ifstream locks("/proc/locks");
    const std::string file = [&node] {
        char text[64];
        std::snprintf(text, sizeof text, "%02x:%02x:%llu", major(node.st_dev), minor(node.st_dev),
                      static_cast<unsigned long long>(node.st_ino));
        return std::string(text);
    }();
    std::string line;
    while (std::getline(locks, line)) {
        if (line.find("->") != std::string::npos) continue;
        std::istringstream fields(line);
        std::string number, kind, mode, access, where;
        long pid = 0;
        if (!(fields >> number >> kind >> mode >> access >> pid >> where)) continue;
        if (kind == "FLOCK" && where == file && pid > 0) return pid;
    }
    return 0;
}

PortDiagnosis InUse(const struct stat& node) {
    PortDiagnosis diagnosis{PortTrouble::InUse, "in use by another process", 0};
    std::string name;
    diagnosis.holder = FindLocker(node);
    if (diagnosis.holder != 0) {
        name = CommandName(diagnosis.holder);
    } else {
        diagnosis.holder = FindHolder(node.st_rdev, &name);
    }
    if (diagnosis.holder != 0) {
        diagnosis.reason = "in use by process " + std::to_string(diagnosis.holder);
        if (!name.empty()) diagnosis.reason += " (" + name + ")";
    }
    return diagnosis;
}

// Who may open the device, for the permission text: its group when that is not root's.
std::string PermissionText(const struct stat& node) {
    // getgrgid: the group entry, or null when the id has no name.
    const group* owner = node.st_gid != 0 ? getgrgid(node.st_gid) : nullptr;
    if (owner != nullptr && owner->gr_name != nullptr) {
        return std::string("permission denied (add the user to the ") + owner->gr_name +
               " group, then log in again)";
    }
    return "permission denied (the port is root's alone: give it to the dialout group and add "
           "the user to that group)";
}

// What the name is: a diagnosis when it is no character device (or cannot be looked at), else
// None with `node` filled.
PortDiagnosis LookAt(const std::string& port, struct stat* node) {
    if (port.empty()) return {PortTrouble::NotFound, "no port named", 0};
    // stat: 0, or -1 with errno.
    if (stat(port.c_str(), node) != 0) {
        if (errno == EACCES) return {PortTrouble::Permission, "permission denied", 0};
        if (errno == ENOENT || errno == ENOTDIR)
            return {PortTrouble::NotFound, "no such device", 0};
        return {PortTrouble::Other, std::strerror(errno), 0};
    }
    if (S_ISDIR(node->st_mode)) return {PortTrouble::Directory, "is a directory", 0};
    if (!S_ISCHR(node->st_mode)) return {PortTrouble::NotSerial, "not a serial device", 0};
    return {};
}

}  // namespace

// The device a port name stands for, as the serial layer opens it: "NUL" is the null device, a
// relative name is looked up under /dev/ ("ttyUSB0", "pts/3"), a path that starts with "/", "./"
// or "../" is used as given.
std::string DevicePath(const std::string& port) {
    if (port == "NUL") return "/dev/null";
    if (port.empty() || port[0] == '/' || port.rfind("./", 0) == 0 || port.rfind("../", 0) == 0) {
        return port;
    }
    return "/dev/" + port;
}

PortDiagnosis InspectPort(const std::string& name) {
    const std::string port = DevicePath(name);
    struct stat node {};
    PortDiagnosis diagnosis = LookAt(port, &node);
    if (diagnosis.trouble != PortTrouble::None) return diagnosis;
    // access: 0 when the real user may read and write it.
    if (access(port.c_str(), R_OK | W_OK) != 0 && errno == EACCES) {
        return {PortTrouble::Permission, PermissionText(node), 0};
    }
    // Held: by a lock, or open in another process that lets us see its descriptors.
    PortDiagnosis held = InUse(node);
    return held.holder != 0 ? held : PortDiagnosis{};
}

PortDiagnosis DiagnosePort(const std::string& name) {
    const std::string port = DevicePath(name);
    struct stat node {};
    if (PortDiagnosis named = LookAt(port, &node); named.trouble != PortTrouble::None) {
        return named;
    }
    // open: a descriptor, or -1 with errno. Non-blocking, so no carrier wait.
    const int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        switch (errno) {
            case EACCES:
            case EPERM:
                return {PortTrouble::Permission, PermissionText(node), 0};
            case EBUSY:
                return InUse(node);
            case ENXIO:
            case ENODEV:
            case ENOENT:
                return {PortTrouble::NotFound, "no such device", 0};
            default:
                return {PortTrouble::Other, std::strerror(errno), 0};
        }
    }
    PortDiagnosis diagnosis;
    termios settings{};
    // tcgetattr: 0, or -1 (ENOTTY for what is no terminal); flock: 0, or -1 when held.
    if (tcgetattr(fd, &settings) != 0) {
        diagnosis = {PortTrouble::NotSerial, "not a serial device", 0};
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        diagnosis = errno == EWOULDBLOCK
                        ? InUse(node)
                        : PortDiagnosis{PortTrouble::Other, std::strerror(errno), 0};
    }
    static_cast<void>(close(fd));  // releases the lock, if taken
    return diagnosis;
}

}  // namespace host::platform
