# The meter simulator: its pieces, and the program end to end on its own pseudo-terminal.
if(NOT WIN32)
  vpi_test(test_sim_unit SOURCES test_sim_unit.cpp LIBS metersim_lib)

  vpi_test(test_sim SOURCES test_sim.cpp LIBS vpi_serial vpi_common metersim_process)
  target_compile_definitions(test_sim PRIVATE METERSIM_PATH="$<TARGET_FILE:metersim>")
  target_link_libraries(test_sim PRIVATE vpi_hostdeps util)
  add_dependencies(test_sim metersim)
endif()
