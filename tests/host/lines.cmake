# vpihost's line tools (scan, sniff, ports): their pieces over byte strings on both targets;
# natively the commands as processes against metersim on pseudo-terminals and a fake sysfs.
vpi_test(test_host_line_pieces SOURCES test_host_line_pieces.cpp LIBS vpihost_lines vpi_text)

if(NOT WIN32)
  foreach(name test_host_scan test_host_sniff test_host_ports)
    vpi_test(${name} SOURCES ${name}.cpp LIBS metersim_process vpi_hostdeps util)
    target_compile_definitions(${name} PRIVATE
      VPIHOST_PATH="$<TARGET_FILE:vpihost>" METERSIM_PATH="$<TARGET_FILE:metersim>")
    add_dependencies(${name} vpihost metersim)
    set_tests_properties(${name} PROPERTIES TIMEOUT 120)
  endforeach()
endif()

if(WIN32)
  # vpihost.exe's scan and ports under Wine, against the native metersim on a pseudo-terminal
  # that is COM12 of a private prefix.
  find_package(Python3 COMPONENTS Interpreter REQUIRED)
  if(NOT VPI_NATIVE_METERSIM)
    set(VPI_NATIVE_METERSIM ${CMAKE_SOURCE_DIR}/build/native/metersim)
  endif()
  add_test(NAME test_host_lines_wine
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/host_lines_wine.py
            ${VPI_NATIVE_METERSIM} $<TARGET_FILE:vpihost> ${CMAKE_BINARY_DIR}/wineprefix-lines)
  set_tests_properties(test_host_lines_wine PROPERTIES ENVIRONMENT VPI_WINEARCH=${VPI_WINEARCH} TIMEOUT 300 SKIP_RETURN_CODE 77)
endif()
