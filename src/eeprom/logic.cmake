# Image loader and report builder; no window, no Qt.
nvx_library(nvx_eeprom SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/eeprom_image.cpp
  ${CMAKE_CURRENT_LIST_DIR}/eeprom_report.cpp
  PUBLIC_LIBS nvx_platform
)
# Every image byte is read through std::array: bounds-checked in debug and fuzz builds.
target_compile_definitions(nvx_eeprom PRIVATE
  $<$<OR:$<CONFIG:Debug>,$<BOOL:${NVX_FUZZ}>>:_GLIBCXX_ASSERTIONS>)
