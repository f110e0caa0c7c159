// The module's load hook: the driver keeps no per-thread state, so it asks not to be told
// about threads starting and ending. Nothing else happens at load or unload.
#include <windows.h>

// The module is linked without the C runtime's DLL start-up code (which would bring an
// atexit table on the heap): the driver has no constructors, destructors or atexit
// handlers to run, so the system calls this entry point directly.
extern "C" BOOL WINAPI DllMainCRTStartup(HINSTANCE module, DWORD reason, LPVOID) {
    // DisableThreadLibraryCalls: non-zero is success; a failure only costs notifications.
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(module);
    return TRUE;
}
