# Image loader and report builder; no window, no Qt.
nvx_library(nvx_eeprom SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/eeprom_image.cpp
  ${CMAKE_CURRENT_LIST_DIR}/eeprom_report.cpp
  PUBLIC_LIBS nvx_platform
)
