// The host's logging library: the driver's log lines arrive through err().
#pragma once

#if defined(_WIN32)
#define TAMRIK_CDECL __cdecl
#if defined(TAMRIK_BUILDING)
#define TAMRIK_API __declspec(dllexport)
#else
#define TAMRIK_API __declspec(dllimport)
#endif
#else
#define TAMRIK_CDECL
#define TAMRIK_API __attribute__((visibility("default")))
#endif

extern "C" {

// Receives one formatted line with its severity. `context` is what was given to SetLogSink.
typedef void(TAMRIK_CDECL* TamrikSink)(int severity, const char* text, void* context);

// Formats one line (printf rules; longer than kTamrikLineMax - 1 characters is cut) and
// hands it to the current sink. Returns the number of characters handed over.
TAMRIK_API int TAMRIK_CDECL err(int severity, const char* format, ...);

// Replaces the sink; a null sink restores the default one (a line on stderr with a UTC time
// stamp and the severity). Safe to call from any thread.
TAMRIK_API void TAMRIK_CDECL SetLogSink(TamrikSink sink, void* context);
}

inline constexpr int kTamrikLineMax = 1024;
