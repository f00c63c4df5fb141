# nvx report, nvx convert
target_sources(nvx PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/report_command.cpp
  ${CMAKE_CURRENT_LIST_DIR}/convert_command.cpp)
target_link_libraries(nvx PRIVATE nvx_eeprom nvx_progtool)
