# EEPROM reports per second; HEX to NPF throughput against srec_cat (see hex_vs_srec_cat.sh).
nvx_benchmark(bench_eeprom SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/bench_eeprom.cpp LIBS nvx_eeprom nvx_progtool)
target_compile_definitions(bench_eeprom PRIVATE NVX_BINARY_DIR="${PROJECT_BINARY_DIR}")
if(TARGET nvx)
  add_dependencies(bench_eeprom nvx)
endif()
