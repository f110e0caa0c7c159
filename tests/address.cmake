# Gate addressing: operations 3 and 4 through VpiMain, and the host tool's parse and check.
vpi_test(test_address SOURCES test_address.cpp LIBS ${VPI_OVER_FAKE})

if(NOT WIN32)
  # vpihost run as a process, loading the real module beside it.
  vpi_test(test_address_host SOURCES test_address_host.cpp LIBS vpi_common)
  target_compile_definitions(test_address_host PRIVATE VPIHOST_PATH="$<TARGET_FILE:vpihost>")
  add_dependencies(test_address_host vpihost)
endif()
