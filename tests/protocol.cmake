# The meter protocol through VpiMain over the emulated line: frames, requests, decoding,
# retries, writes, fault sweeps, and the locale-free conversions.
vpi_test(test_frame SOURCES test_frame.cpp LIBS ${VPI_OVER_FAKE})
vpi_test(test_protocol_read SOURCES test_protocol_read.cpp LIBS ${VPI_OVER_FAKE})
vpi_test(test_protocol_write SOURCES test_protocol_write.cpp LIBS ${VPI_OVER_FAKE})
vpi_test(test_protocol_convert SOURCES test_protocol_convert.cpp LIBS ${VPI_OVER_FAKE})
vpi_test(test_protocol_lines SOURCES test_protocol_lines.cpp LIBS ${VPI_OVER_FAKE})
vpi_test(test_protocol_decode SOURCES test_protocol_decode.cpp LIBS ${VPI_OVER_FAKE})
