# vpihost's site file, site poller and serve command: the site file's checks, the poller
# against metersim, the HTTP side with a real Prometheus and a real browser.
if(NOT WIN32)
  vpi_test(test_host_serve_poller SOURCES test_host_serve_poller.cpp
           LIBS vpihost_lib metersim_process vpi_test_support)
  target_compile_definitions(test_host_serve_poller PRIVATE METERSIM_PATH="$<TARGET_FILE:metersim>")
  add_dependencies(test_host_serve_poller metersim satec_vpi)
  set_tests_properties(test_host_serve_poller PROPERTIES TIMEOUT 180)
endif()

# The site file's checks need no line: they run on Linux (the module) and as vpihost.
if(NOT WIN32)
  vpi_test(test_host_serve_config SOURCES test_host_serve_config.cpp LIBS vpihost_lib)
  target_compile_definitions(test_host_serve_config PRIVATE VPIHOST_PATH="$<TARGET_FILE:vpihost>")
  add_dependencies(test_host_serve_config vpihost satec_vpi)
endif()
