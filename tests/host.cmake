# vpihost's reading, writing, polling and demo commands run as processes against metersim on a
# pseudo-terminal, through the real module beside vpihost.
if(NOT WIN32)
  vpi_test(test_host SOURCES test_host.cpp LIBS metersim_process vpi_hostdeps util)
  target_compile_definitions(test_host PRIVATE
    VPIHOST_PATH="$<TARGET_FILE:vpihost>" METERSIM_PATH="$<TARGET_FILE:metersim>")
  add_dependencies(test_host vpihost metersim)
  set_tests_properties(test_host PROPERTIES TIMEOUT 120)
endif()

if(WIN32)
  # vpihost.exe under Wine with the real module and logging library, against the native
  # metersim (from a native build tree) on a pseudo-terminal that is COM7 of a private prefix.
  set(VPI_NATIVE_METERSIM ${CMAKE_SOURCE_DIR}/build/native/metersim
      CACHE FILEPATH "the native metersim for the Wine test of vpihost.exe")
  find_package(Python3 COMPONENTS Interpreter REQUIRED)
  add_test(NAME test_host_wine
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/host_wine.py
            ${VPI_NATIVE_METERSIM} $<TARGET_FILE:vpihost> ${CMAKE_BINARY_DIR}/wineprefix-host)
  set_tests_properties(test_host_wine PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77)
endif()
