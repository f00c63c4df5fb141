nvx_fuzz_target(fuzz_switches SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_switches.cpp LIBS nvx_app)
