// The module's load hook: the driver keeps no per-thread state, so it asks not to be told
// about threads starting and ending. Nothing else happens at load or unload.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    // DisableThreadLibraryCalls: non-zero is success; a failure only costs notifications.
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(module);
    return TRUE;
}
