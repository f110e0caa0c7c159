# Cross toolchain for 64-bit Windows: MinGW-w64, posix thread model, run under 64-bit Wine. The
# host's own ABI is the 32-bit one; this build exists so that the Windows side is tested on
# machines whose kernel runs no 32-bit code.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests run under Wine's 64-bit loader in a 64-bit prefix of the build's own, quietly.
set(VPI_WINEARCH win64)
set(CMAKE_CROSSCOMPILING_EMULATOR env VPI_WINEARCH=win64 ${CMAKE_CURRENT_LIST_DIR}/../tools/wine-run.sh)
