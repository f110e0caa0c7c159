# Compiler settings shared by every target, and the stricter ones of the driver module.

# ccache, where installed, for every preset (the cross builds too). Paths are hashed relative to
# the source tree, so that a second clone of the project in another folder on the same machine
# compiles out of the cache as well; debug information then names the first clone's folders.
find_program(VPI_CCACHE ccache)
if(VPI_CCACHE AND NOT CMAKE_CXX_COMPILER_LAUNCHER)
  set(VPI_CCACHE_LAUNCHER env CCACHE_BASEDIR=${CMAKE_SOURCE_DIR} CCACHE_NOHASHDIR=1 ${VPI_CCACHE})
  set(CMAKE_C_COMPILER_LAUNCHER ${VPI_CCACHE_LAUNCHER})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${VPI_CCACHE_LAUNCHER})
endif()

add_library(vpi_warnings INTERFACE)
target_compile_options(vpi_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wcast-align -Wformat=2
  -Wimplicit-fallthrough -Werror)

# Code that ends up inside the driver module: no exceptions, no RTTI, no surprises from
# implicit narrowing of bytes and counts.
add_library(vpi_module_flags INTERFACE)
target_link_libraries(vpi_module_flags INTERFACE vpi_warnings)
target_compile_options(vpi_module_flags INTERFACE
  $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti>
  -Wconversion -Wnull-dereference -fvisibility=hidden -fvisibility-inlines-hidden)

if(VPI_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(VPI_COVERAGE)
  # Atomic counters: several suites run the driver on threads, and racing plain counters
  # come out negative, which gcov cannot parse.
  add_compile_options(--coverage -O0 -fprofile-update=atomic)
  add_link_options(--coverage)
endif()

if(WIN32)
  # The module and the tools must run on a bare Windows: no MinGW runtime DLLs (libgcc, libstdc++,
  # winpthread) beside them.
  add_link_options(-static)
endif()
