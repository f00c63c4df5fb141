# The frame decoder: a 10 MB capture in memory, and `nvx decode --csv` as a whole process.
nvx_benchmark(bench_frames SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/frame_decoding.cpp
  LIBS nvx_tuv nvx_sim)
