# The "Programming Tool" window over the tool's logic; it opens the Error Memory window.
if(NVX_GUI)
  nvx_library(nvx_progtool_gui SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/gui/prog_tool_dlg.cpp
    ${CMAKE_CURRENT_LIST_DIR}/gui/prog_tool_dlg.h
    PUBLIC_LIBS nvx_progtool_tool nvx_eeprom_gui Qt6::Widgets
  )
endif()
