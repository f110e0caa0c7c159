# The serial line and the channel operations: the channel state machine over the emulated
# line, and each real back-end against a pseudo-terminal (natively) or a COM port that Wine
# maps onto one.
vpi_test(test_channel SOURCES test_channel.cpp LIBS ${VPI_OVER_FAKE})

if(NOT WIN32)
  # The POSIX back-end on pseudo-terminals, alone and under the channel operations.
  vpi_test(test_serial_posix SOURCES test_serial_posix.cpp
           LIBS vpi_driver vpi_protocol vpi_address vpi_serial vpi_test_support)
endif()

if(WIN32)
  # The Win32 back-end. Run plainly it checks what needs no port; run through the far end it
  # gets COM12 (a name Windows knows only in its device namespace), a pseudo-terminal in a Wine prefix of its own (so that no other test's Wine
  # server owns the terminal or the link), whose far end the test scripts over the line.
  vpi_test(test_serial_win32 SOURCES test_serial_win32.cpp
           LIBS vpi_driver vpi_protocol vpi_address vpi_serial vpi_test_support)
  find_package(Python3 COMPONENTS Interpreter REQUIRED)
  add_test(NAME test_serial_win32_pty
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/serial_far_end.py
            ${CMAKE_BINARY_DIR}/wineprefix-serial COM12 --
            ${CMAKE_SOURCE_DIR}/tools/wine-run.sh $<TARGET_FILE:test_serial_win32>)
  set_tests_properties(test_serial_win32_pty PROPERTIES TIMEOUT 300 RESOURCE_LOCK wine_com12)
endif()
