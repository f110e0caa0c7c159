// Module loading on Windows: LoadLibraryA and GetProcAddress.
#include <windows.h>

#include "platform/driver_module.h"

namespace host::platform {

DriverModule::~DriverModule() {
    if (library_ != nullptr) FreeLibrary(static_cast<HMODULE>(library_));
}

bool DriverModule::Load(const std::string& path, std::string* error) {
    // LoadLibraryA: null is failure, GetLastError says why.
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        *error = path + ": LoadLibrary failed, error " + std::to_string(GetLastError());
        return false;
    }
    library_ = module;
    entry_ =
        reinterpret_cast<EntryPoint>(reinterpret_cast<void*>(GetProcAddress(module, "VpiMain")));
    if (entry_ == nullptr) {
        *error = path + ": no VpiMain";
        return false;
    }
    return true;
}

std::string DriverModule::DefaultPath() {
    char self[MAX_PATH];
    // GetModuleFileNameA: the length copied, 0 on failure.
    const DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return "satec_vpi.dll";
    std::string dir(self, n);
    return dir.substr(0, dir.find_last_of("\\/") + 1) + "satec_vpi.dll";
}

}  // namespace host::platform
