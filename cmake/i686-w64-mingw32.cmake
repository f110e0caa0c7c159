# Cross toolchain for the 32-bit Windows host (the host's own ABI): MinGW-w64, posix thread
# model, run under Wine's 32-bit loader in a 32-bit prefix.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VPI_MINGW_TRIPLE i686-w64-mingw32)
set(VPI_WINEARCH win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
