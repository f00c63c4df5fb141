nvx_fuzz_target(fuzz_frame_decoder SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_frame_decoder.cpp
  LIBS nvx_tuv)
