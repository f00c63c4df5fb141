# The Error Memory window: its logic (no Qt) and the Qt dialog.
nvx_library(nvx_eeprom_window SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/error_memory_window.cpp
  PUBLIC_LIBS nvx_eeprom nvx_shell nvx_platform
)

if(NVX_GUI)
  nvx_library(nvx_eeprom_gui SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/gui/error_memory_dlg.cpp
    ${CMAKE_CURRENT_LIST_DIR}/gui/error_memory_dlg.h
    PUBLIC_LIBS nvx_eeprom_window nvx_platform_gui Qt6::Widgets
  )
endif()
