# vpihost's site file, site poller and serve command: the site file's checks, the poller
# against metersim, the HTTP side with a real Prometheus and a real browser.
if(NOT WIN32)
  vpi_test(test_host_serve_poller SOURCES test_host_serve_poller.cpp
           LIBS vpihost_lib metersim_process vpi_test_support)
  target_compile_definitions(test_host_serve_poller PRIVATE METERSIM_PATH="$<TARGET_FILE:metersim>")
  add_dependencies(test_host_serve_poller metersim satec_vpi)
  set_tests_properties(test_host_serve_poller PROPERTIES TIMEOUT 180)
endif()

# The metrics and status writers from hand-made poller states; promtool checks the text when
# it is installed.
if(NOT WIN32)
  vpi_test(test_host_serve_outputs SOURCES test_host_serve_outputs.cpp LIBS vpihost_lib)
endif()

# The site file's checks need no line: they run on Linux (the module) and as vpihost.
if(NOT WIN32)
  vpi_test(test_host_serve_config SOURCES test_host_serve_config.cpp LIBS vpihost_lib)
  target_compile_definitions(test_host_serve_config PRIVATE VPIHOST_PATH="$<TARGET_FILE:vpihost>")
  add_dependencies(test_host_serve_config vpihost satec_vpi)
endif()

# vpihost serve scraped by a real Prometheus (Debian's, on a free loopback port with a scrape
# interval of 1 s), and its page in a real headless Chromium; each skips (77) only when its tool
# is not installed, which tools/install-deps.sh --serve installs.
if(NOT WIN32)
  find_package(Python3 COMPONENTS Interpreter REQUIRED)
  add_test(NAME test_host_serve_prometheus
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/serve_prometheus.py
            $<TARGET_FILE:vpihost> $<TARGET_FILE:metersim> ${CMAKE_BINARY_DIR}/serve-prometheus)
  set_tests_properties(test_host_serve_prometheus PROPERTIES TIMEOUT 240 SKIP_RETURN_CODE 77)
  # Selenium is Debian's package, so the page's test runs on Debian's own interpreter.
  find_program(VPI_SYSTEM_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
  add_test(NAME test_host_serve_page
    COMMAND ${VPI_SYSTEM_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/serve_page.py
            $<TARGET_FILE:vpihost> $<TARGET_FILE:metersim> ${CMAKE_BINARY_DIR}/serve-page)
  set_tests_properties(test_host_serve_page PROPERTIES TIMEOUT 240 SKIP_RETURN_CODE 77)
endif()
