// Module loading on POSIX: dlopen and dlsym.
#include <dlfcn.h>
#include <unistd.h>

#include <climits>

#include "platform/driver_module.h"

namespace host::platform {

DriverModule::~DriverModule() {
    if (library_ != nullptr) dlclose(library_);
}

bool DriverModule::Load(const std::string& path, std::string* error) {
    // dlopen: a null handle is failure, dlerror says why.
    library_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library_ == nullptr) {
        *error = dlerror();
        return false;
    }
    entry_ = reinterpret_cast<EntryPoint>(dlsym(library_, "VpiMain"));
    if (entry_ == nullptr) {
        *error = path + ": no VpiMain";
        return false;
    }
    return true;
}

std::string DriverModule::DefaultPath() {
    char self[PATH_MAX];
    // readlink: the length on success, -1 on failure; the result is not NUL-terminated.
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "./libsatec_vpi.so";
    std::string dir(self, static_cast<std::size_t>(n));
    dir = dir.substr(0, dir.find_last_of('/') + 1);
    // A build tree has the module beside the program; an installed tree (bin/ and
    // lib/satec-vpi/ under one prefix, wherever that is) keeps it in the package's own folder.
    // access: 0 when the file exists, -1 otherwise.
    const std::string beside = dir + "libsatec_vpi.so";
    const std::string installed = dir + "../lib/satec-vpi/libsatec_vpi.so";
    if (access(beside.c_str(), F_OK) != 0 && access(installed.c_str(), F_OK) == 0) {
        return installed;
    }
    return beside;
}

}  // namespace host::platform
