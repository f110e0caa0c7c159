// Stand-in for the host's logging library: formats a line and hands it to a settable sink.
#include "tamrik.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "time_stamp.h"

namespace {

struct Sink {
    TamrikSink function;
    void* context;
};

std::mutex sinkMutex;
Sink currentSink{nullptr, nullptr};

void TAMRIK_CDECL DefaultSink(int severity, const char* text, void*) {
    std::fprintf(stderr, "%s [%d] %s\n", timestamp::Rfc3339Now().c_str(), severity, text);
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
