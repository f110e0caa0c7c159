# Run at build time (cmake -P): writes OUT, a source file that gives the program its version and
# the commit it was built from. A tree without git, or one that is not a checkout of its own
# (an unpacked archive inside another repository), is built as commit "unknown". The file is
# rewritten only when its text changes, so an unchanged commit rebuilds nothing.
set(commit "unknown")
find_program(GIT git)
if(GIT)
  execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} rev-parse --show-toplevel
                  OUTPUT_VARIABLE top RESULT_VARIABLE top_rc OUTPUT_STRIP_TRAILING_WHITESPACE
                  ERROR_QUIET)
  if(top_rc EQUAL 0)
    file(REAL_PATH "${top}" top)
    file(REAL_PATH "${SOURCE_DIR}" source)
  endif()
  if(top_rc EQUAL 0 AND top STREQUAL source)
    execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} describe --always --dirty --abbrev=12
                    OUTPUT_VARIABLE described RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_QUIET)
    if(rc EQUAL 0 AND NOT described STREQUAL "")
      set(commit "${described}")
    endif()
  endif()
endif()
file(CONFIGURE OUTPUT ${OUT} CONTENT [[
// Written at build time by cmake/build_version.cmake; not kept in the source tree.
#include "app/build_version.h"

namespace host::app {

const char* BuildVersionText() {
    return "@VERSION@ (commit @commit@)";
}

}  // namespace host::app
]] @ONLY)
