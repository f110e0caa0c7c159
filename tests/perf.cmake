# Allocation: every driver operation runs under a counting heap and must allocate nothing,
# over the emulated line and over the real back-end on a pseudo-terminal. Linux only (the
# Windows module's import table is checked for heap functions instead), and not under the
# sanitizers, whose own allocator the counting heap would displace.
if(NOT WIN32 AND NOT VPI_SANITIZE AND NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize")
  # The emulated line's entry points: what they allocate for their own records is tallied
  # apart from the driver's.
  set(VPI_FAKE_ENTRY_POINTS
      _ZN6serial8OpenPortEPKcRK14LineParameterstPj _ZN6serial9ClosePortEj
      _ZN6serial14SetReadTimeoutEji _ZN6serial8platform8ReadOnceEjPhjPj
      _ZN6serial8platform9WriteOnceEjPKhjPj _ZN6serial8platform11ClearErrorsEjPj
      _ZN6serial8platform6SetRtsEjb _ZN6serial8platform7SleepMsEj)
  vpi_test(test_zero_alloc_fake SOURCES test_zero_alloc.cpp LIBS ${VPI_OVER_FAKE} metersim_process)
  target_compile_definitions(test_zero_alloc_fake PRIVATE VPI_ZERO_ALLOC_FAKE)
  foreach(symbol ${VPI_FAKE_ENTRY_POINTS})
    target_link_options(test_zero_alloc_fake PRIVATE "LINKER:--wrap=${symbol}")
  endforeach()

  vpi_test(test_zero_alloc_posix SOURCES test_zero_alloc.cpp
           LIBS vpi_driver vpi_protocol vpi_address vpi_serial vpi_test_support metersim_process)
  target_compile_definitions(test_zero_alloc_posix PRIVATE VPI_ZERO_ALLOC_POSIX
                             METERSIM_PATH="$<TARGET_FILE:metersim>")
  add_dependencies(test_zero_alloc_posix metersim)
  set_tests_properties(test_zero_alloc_posix PROPERTIES TIMEOUT 120)
endif()
