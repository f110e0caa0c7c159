# vpihost's line tools (scan, sniff, ports): their pieces over byte strings on both targets;
# natively the commands as processes against metersim on pseudo-terminals and a fake sysfs.
vpi_test(test_host_line_pieces SOURCES test_host_line_pieces.cpp LIBS vpihost_lines)

if(NOT WIN32)
  foreach(name test_host_scan test_host_sniff test_host_ports)
    vpi_test(${name} SOURCES ${name}.cpp LIBS metersim_process vpi_hostdeps util)
    target_compile_definitions(${name} PRIVATE
      VPIHOST_PATH="$<TARGET_FILE:vpihost>" METERSIM_PATH="$<TARGET_FILE:metersim>")
    add_dependencies(${name} vpihost metersim)
    set_tests_properties(${name} PROPERTIES TIMEOUT 120)
  endforeach()
endif()
