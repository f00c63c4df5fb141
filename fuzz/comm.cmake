nvx_fuzz_target(fuzz_link_receiver SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_link_receiver.cpp LIBS nvx_comm)
