# What both Windows cross toolchains share: MinGW-w64 with the posix thread model for the
# triple the including file names (VPI_MINGW_TRIPLE), its libraries and headers only from its
# own root, and the tests run under Wine in a prefix of the build's own (VPI_WINEARCH).
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${VPI_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VPI_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VPI_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VPI_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR env VPI_WINEARCH=${VPI_WINEARCH}
    ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
