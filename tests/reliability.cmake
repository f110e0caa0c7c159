# Reliability suites: the fuzz inputs replayed, host records against guard pages, and
# channels on several threads over real pseudo-terminals.
set(VPI_FUZZ_SOURCES ${CMAKE_SOURCE_DIR}/fuzz/fuzz_gate.cpp ${CMAKE_SOURCE_DIR}/fuzz/fuzz_reply.cpp
    ${CMAKE_SOURCE_DIR}/fuzz/fuzz_channel.cpp)
vpi_test(test_fuzz_regressions SOURCES test_fuzz_regressions.cpp ${VPI_FUZZ_SOURCES}
         LIBS ${VPI_OVER_FAKE})
target_include_directories(test_fuzz_regressions PRIVATE ${CMAKE_SOURCE_DIR}/fuzz)
target_compile_definitions(test_fuzz_regressions PRIVATE VPI_FUZZ_DIR="${CMAKE_SOURCE_DIR}/fuzz")

# Host records and value arrays against no-access pages (mmap, or VirtualAlloc under Wine).
vpi_test(test_guard_pages SOURCES test_guard_pages.cpp LIBS ${VPI_OVER_FAKE})

if(NOT WIN32)
  # Channels on real pseudo-terminals, each with its own simulated meter, read on threads of
  # their own, with address parsing on more threads, and every fault mode of the simulator
  # against every family; the same program under ThreadSanitizer when the tree is configured
  # with -fsanitize=thread.
  vpi_test(test_concurrency SOURCES test_concurrency.cpp
           LIBS vpi_driver vpi_protocol vpi_address vpi_serial vpi_test_support metersim_process)
  target_compile_definitions(test_concurrency PRIVATE METERSIM_PATH="$<TARGET_FILE:metersim>")
  add_dependencies(test_concurrency metersim)
  set_tests_properties(test_concurrency PROPERTIES TIMEOUT 120)
endif()

# Operations on a line that never stops sending end within their attempts and time-outs.
vpi_test(test_guard_streaming SOURCES test_guard_streaming.cpp LIBS ${VPI_OVER_FAKE})

if(NOT WIN32)
  # Field lines end to end: a late meter beside a prompt one, an adapter that echoes.
  vpi_test(test_field_lines SOURCES test_field_lines.cpp
           LIBS vpi_driver vpi_protocol vpi_address vpi_serial vpi_test_support metersim_process)
  target_compile_definitions(test_field_lines PRIVATE METERSIM_PATH="$<TARGET_FILE:metersim>")
  add_dependencies(test_field_lines metersim)
  set_tests_properties(test_field_lines PROPERTIES TIMEOUT 120)
endif()
