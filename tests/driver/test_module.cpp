// The real module, loaded by path as a host loads it. This program links neither the driver
// nor the logging library: on Linux the C library's err(3), which ends the process, is ahead
// of the logging library in every symbol lookup, and the module must still reach the right one.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "vpi_records.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

using Entry = std::int32_t(VPI_CALLCONV*)(VpiCall*);
using Sink = void(
#if defined(_WIN32)
    __cdecl
#endif
        *)(int, const char*, void*);
using SetSink = void(
#if defined(_WIN32)
    __cdecl
#endif
        *)(Sink, void*);

struct Captured {
    std::vector<std::pair<int, std::string>> lines;
};

void
#if defined(_WIN32)
    __cdecl
#endif
    Capture(int severity, const char* text, void* context) {
    static_cast<Captured*>(context)->lines.emplace_back(severity, text);
}

struct Loaded {
    Entry entry = nullptr;
    SetSink setSink = nullptr;
};

Loaded Load() {
    Loaded loaded;
#if defined(_WIN32)
    HMODULE module = LoadLibraryA(VPI_MODULE_PATH);
    if (module == nullptr) return loaded;
    loaded.entry =
        reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(module, "VpiMain")));
    HMODULE log = GetModuleHandleA(VPI_TAMRIK_PATH);
    if (log != nullptr) {
        loaded.setSink =
            reinterpret_cast<SetSink>(reinterpret_cast<void*>(GetProcAddress(log, "SetLogSink")));
    }
#else
    // Beside this program, as the host finds its driver.
    std::string dir = "./";
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        dir.assign(self, static_cast<std::size_t>(n));
        dir = dir.substr(0, dir.find_last_of('/') + 1);
    }
    void* module = dlopen((dir + VPI_MODULE_PATH).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) return loaded;
    loaded.entry = reinterpret_cast<Entry>(dlsym(module, "VpiMain"));
    // The module brought the logging library in; it is already loaded.
    void* log = dlopen((dir + VPI_TAMRIK_PATH).c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (log != nullptr) loaded.setSink = reinterpret_cast<SetSink>(dlsym(log, "SetLogSink"));
#endif
    return loaded;
}

TEST(Module, LoadsAndAnswersTheInformationRequest) {
    const Loaded loaded = Load();
    ASSERT_NE(loaded.entry, nullptr);
    DriverInfo info{};
    VpiCall call{nullptr, 14, 1, 0, &info};
    ASSERT_EQ(loaded.entry(&call), VpiDone);
    EXPECT_EQ(info.stateSize, 552);
    EXPECT_STREQ(info.shortName, "SATEC, Powermeter");
    EXPECT_EQ(std::strlen(info.banner), 379u);
}

TEST(Module, LogLinesReachTheHostsLibraryAndTheProcessLivesOn) {
    const Loaded loaded = Load();
    ASSERT_NE(loaded.entry, nullptr);
    ASSERT_NE(loaded.setSink, nullptr) << "the logging library was not loaded with the module";
    Captured captured;
    loaded.setSink(Capture, &captured);

    ChannelState channel{};
    OpenChannelRecord open{};
    std::strcpy(open.portName, "nosuchport");
    open.active = 1;
    open.readTimeout = 100;
    open.line = LineParameters{9600, 8, 0, 0};
    VpiCall call{&channel, 1, 1, 0, &open};
    EXPECT_EQ(loaded.entry(&call), VpiFailed);
    loaded.setSink(nullptr, nullptr);

    ASSERT_EQ(captured.lines.size(), 1u);
    EXPECT_EQ(captured.lines[0].first, 32);
    EXPECT_EQ(captured.lines[0].second, "VPISATEC, Powermeter : Fail to open nosuchport");
}

}  // namespace
