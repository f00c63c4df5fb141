nvx_fuzz_target(fuzz_sim_line SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_sim_line.cpp LIBS nvx_sim)
nvx_fuzz_target(fuzz_sim_files SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_sim_files.cpp LIBS nvx_sim)
