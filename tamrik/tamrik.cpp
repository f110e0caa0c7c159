// Stand-in for the host's logging library: formats a line and hands it to a settable sink.
#include "tamrik.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace {

struct Sink {
    TamrikSink function;
    void* context;
};

std::mutex sinkMutex;
Sink currentSink{nullptr, nullptr};

void TAMRIK_CDECL DefaultSink(int severity, const char* text, void*) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const long millis = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000);
    std::tm parts{};
#if defined(_WIN32)
    gmtime_s(&parts, &seconds);
#else
    gmtime_r(&seconds, &parts);
#endif
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &parts);
    std::fprintf(stderr, "%s.%03ldZ [%d] %s\n", stamp, millis, severity, text);
    std::fflush(stderr);
}

}  // namespace

extern "C" TAMRIK_API int TAMRIK_CDECL err(int severity, const char* format, ...) {
    char line[kTamrikLineMax];
    line[0] = '\0';
    if (format != nullptr) {
        std::va_list args;
        va_start(args, format);
        std::vsnprintf(line, sizeof line, format, args);
        va_end(args);
    }
    line[sizeof line - 1] = '\0';

    // The sink is called under the lock, so SetLogSink never races a line in flight.
    std::lock_guard lock(sinkMutex);
    if (currentSink.function != nullptr) {
        currentSink.function(severity, line, currentSink.context);
    } else {
        DefaultSink(severity, line, nullptr);
    }
    int length = 0;
    while (line[length] != '\0') ++length;
    return length;
}

extern "C" TAMRIK_API void TAMRIK_CDECL SetLogSink(TamrikSink sink, void* context) {
    std::lock_guard lock(sinkMutex);
    currentSink = Sink{sink, context};
}
