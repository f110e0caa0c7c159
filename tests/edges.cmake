# Edge cases that the behaviour suites leave out: the layers' own guards called directly,
# refusals of buffers and handles, and (on POSIX) the real back-end's failure paths on
# pseudo-terminals, descriptors and signals.
vpi_test(test_edges_protocol SOURCES test_edges_protocol.cpp LIBS ${VPI_OVER_FAKE})
vpi_test(test_edges_driver SOURCES test_edges_driver.cpp LIBS ${VPI_OVER_FAKE})

if(NOT WIN32)
  # The POSIX back-end's failure paths: handles outside its table, refused line settings, a far
  # end that hangs up, signals during waits, and a process short of descriptors.
  vpi_test(test_edges_posix SOURCES test_edges_posix.cpp
           LIBS vpi_driver vpi_protocol vpi_address vpi_serial vpi_test_support)
endif()
