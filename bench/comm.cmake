# The communication stack: TickProc with a busy channel, a whole request exchange in virtual time.
nvx_benchmark(bench_comm SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/comm_stack.cpp LIBS nvx_comm nvx_platform)
