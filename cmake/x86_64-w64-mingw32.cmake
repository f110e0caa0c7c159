# Cross toolchain for 64-bit Windows: MinGW-w64, posix thread model, run under Wine's 64-bit
# loader in a 64-bit prefix. The host's own ABI is the 32-bit one; this build exists so that the
# Windows side is tested on machines whose kernel runs no 32-bit code.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VPI_MINGW_TRIPLE x86_64-w64-mingw32)
set(VPI_WINEARCH win64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
