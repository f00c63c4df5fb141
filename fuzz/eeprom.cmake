nvx_fuzz_target(fuzz_eeprom_report SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_eeprom_report.cpp LIBS nvx_eeprom)
nvx_fuzz_target(fuzz_program_file SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_program_file.cpp LIBS nvx_progtool)
