# vpihost's reading, writing, polling and demo commands run as processes against metersim on a
# pseudo-terminal, through the real module beside vpihost.
if(NOT WIN32)
  vpi_test(test_host SOURCES test_host.cpp LIBS vpi_hostdeps)
  target_compile_definitions(test_host PRIVATE
    VPIHOST_PATH="$<TARGET_FILE:vpihost>" METERSIM_PATH="$<TARGET_FILE:metersim>")
  add_dependencies(test_host vpihost metersim)
  set_tests_properties(test_host PROPERTIES TIMEOUT 120)
endif()
