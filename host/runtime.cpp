// The host tool's runtime: loading the driver and collecting its log lines.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "host.h"
#include "tamrik.h"

namespace host {

namespace {

struct LogState {
    std::mutex mutex;
    std::vector<LogLine> pending;
    bool quiet = false;
    std::string lastText;
    int lastSeverity = -1;
    int repeats = 0;
    bool (*hide)(int severity, const std::string& text) = nullptr;
};

LogState& Log() {
    static LogState state;
    return state;
}

std::string Timestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm local{};
#if defined(_WIN32)
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    char out[40];
    std::snprintf(out, sizeof out, "%s.%03d", text, static_cast<int>(millis));
    return out;
}

void FlushRepeats(LogState& state) {
    if (state.repeats > 0 && !state.quiet) {
        std::fprintf(stderr, "%s driver[%d] ... repeated %d times\n", Timestamp().c_str(),
                     state.lastSeverity, state.repeats);
    }
    state.repeats = 0;
}

void TAMRIK_CDECL Sink(int severity, const char* text, void*) {
    LogState& state = Log();
    std::lock_guard lock(state.mutex);
    state.pending.push_back(LogLine{severity, text});
    if (state.hide != nullptr && state.hide(severity, state.pending.back().text)) return;
    // A failing read logs the same line up to eight times; show it once and count the rest.
    if (severity == state.lastSeverity && state.lastText == text) {
        ++state.repeats;
        return;
    }
    FlushRepeats(state);
    state.lastSeverity = severity;
    state.lastText = text;
    if (!state.quiet) {
        std::fprintf(stderr, "%s driver[%d] %s\n", Timestamp().c_str(), severity, text);
    }
}

}  // namespace

bool Runtime::LoadDriver() {
    static bool loaded = false;
    if (loaded) return true;
    const std::string path = modulePath.empty() ? DriverModule::DefaultPath() : modulePath;
    std::string error;
    if (!driver.Load(path, &error)) {
        std::fprintf(stderr, "vpihost: cannot load the driver module: %s\n", error.c_str());
        RaiseExit(*this, kExitFailed);
        return false;
    }
    loaded = true;
    return true;
}

std::vector<LogLine> Runtime::TakeLog() {
    LogState& state = Log();
    std::lock_guard lock(state.mutex);
    FlushRepeats(state);
    state.lastSeverity = -1;
    state.lastText.clear();
    std::vector<LogLine> lines;
    lines.swap(state.pending);
    return lines;
}

void SetLogFilter(bool (*hide)(int severity, const std::string& text)) {
    LogState& state = Log();
    std::lock_guard lock(state.mutex);
    state.hide = hide;
}

void InstallLogSink(Runtime& runtime) {
    Log().quiet = runtime.quietLog;
    SetLogSink(Sink, nullptr);
}

namespace {

struct Registered {
    int order;
    CommandAdder adder;
};

std::vector<Registered>& Registry() {
    static std::vector<Registered> registry;
    return registry;
}

}  // namespace

bool RegisterCommand(int order, CommandAdder adder) {
    Registry().push_back(Registered{order, adder});
    return true;
}

void AddRegisteredCommands(CLI::App& app, Runtime& runtime) {
    auto registry = Registry();
    std::stable_sort(registry.begin(), registry.end(),
                     [](const Registered& a, const Registered& b) { return a.order < b.order; });
    for (const Registered& r : registry) r.adder(app, runtime);
}

void RaiseExit(Runtime& runtime, int code) {
    auto rank = [](int c) {
        return c == kExitUsage ? 3 : c == kExitFailed ? 2 : c == kExitRefused ? 1 : 0;
    };
    if (rank(code) > rank(runtime.exitCode)) runtime.exitCode = code;
}

}  // namespace host
